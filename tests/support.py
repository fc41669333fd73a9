"""Names, reference points and comparisons shared by the tests."""

# The thirteen properties of one state of a liquid model, in dictionary order,
# and the forty keys of a liquid-model result: mixture, x, state A, state B.
PROPS13 = ["rho", "V", "S", "G", "H", "U", "A", "Cp", "Cv", "Kt", "Ks", "alpha", "vel"]
STATE_SUFFIXES = ["", "_A", "_B"]
LIQUID_KEYS = PROPS13 + ["x"] + [k + "_A" for k in PROPS13] + [k + "_B" for k in PROPS13]

# Liquid-liquid critical points (K, MPa) of the models with a spinodal and a
# binodal; Duska's is where L = 0 and W = 2 tau.
CRIT = {
    "holten": (228.2, 0.0),
    "caupin": (218.1348, 71.94655),
    "caupin_kim": (219.4717, 58.73897),
    "duska": (220.89323738, 54.16166929),
}
SPIN_KEYS = ["T_K", "p_MPa", "T_upper", "T_lower", "x_lo_upper", "x_hi_upper",
             "x_lo_lower", "x_hi_lower", "p_array"]
BIN_KEYS = ["T_K", "p_MPa", "x", "T_binodal", "x_lo", "x_hi", "p_array"]

# Spline phases in container order, and the keys of their property results
# (the last three for the ice phases only).
PHASES = ["water1", "water_IAPWS95", "Ih", "II", "III", "V", "VI", "VII_X_French"]
SPLINE_KEYS = ["G", "V", "rho", "S", "H", "U", "A", "Cp", "Cv", "Kt", "Ks", "Kp", "alpha", "vel",
               "shear", "Vp", "Vs"]
SPLINE_KEYS_WITHOUT_SHEAR = SPLINE_KEYS[:14]


def stated_tolerance(text):
    """Half a unit in the last digit of a value written as `text`, with a
    slack of 1e-4 of that for the binary rounding of the quoted value and of
    the difference."""
    mantissa, _, exponent = text.lower().partition("e")
    decimals = len(mantissa.partition(".")[2])
    return 0.5 * 10.0 ** (-decimals + int(exponent or 0)) * 1.0001


def assert_digits(got, text, label=""):
    """`got` rounds to the digits of the quoted value `text`."""
    want = float(text)
    tol = stated_tolerance(text)
    assert abs(got - want) <= tol, f"{label}: got {got!r}, want {text} (±{tol:.3g})"
