"""Every output of the seventeen functions keeps the bits of the record in
output_bits.json (regenerate with tools/record_bits.py)."""
import pytest

import tessarin_rs as m

import output_bits


def test_every_output_keeps_its_recorded_bits():
    record = output_bits.load()
    here = output_bits.environment()
    other = {k: (record["environment"][k], v) for k, v in here.items()
             if record["environment"][k] != v}
    if other:
        pytest.skip("recorded with another compiler, C library or vector path, whose "
                    "bits may differ: " + ", ".join(f"{k} {a!r} here {b!r}"
                                                    for k, (a, b) in other.items()))
    got = output_bits.compute(m)
    want = record["hashes"]
    changed = sorted(k for k in want if k in got and got[k] != want[k])
    missing, extra = sorted(set(want) - set(got)), sorted(set(got) - set(want))
    assert not (changed or missing or extra), (
        f"{len(changed)} of {len(want)} outputs changed: {changed[:20]}; "
        f"not computed: {missing[:5]}; not recorded: {extra[:5]}")
