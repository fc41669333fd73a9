"""What the plotting examples share: the --outdir option and matplotlib as
an optional extra (each script prints its numbers either way)."""
from __future__ import annotations

import argparse
from pathlib import Path
from typing import Optional

PLOT_HINT = "pip install 'tessarin[plot]'"


def have_matplotlib() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def picture_parser(doc: Optional[str]) -> argparse.ArgumentParser:
    """An argument parser described by the first line of `doc`, with --outdir."""
    parser = argparse.ArgumentParser(description=(doc or "").splitlines()[0])
    parser.add_argument("--outdir", type=Path, default=Path("."),
                        help="folder for the PNG (default: current directory)")
    return parser


def picture_path(outdir: Path, name: str, what: str) -> Optional[Path]:
    """Where to save the picture `name`, creating `outdir`; None, after saying
    how to get `what`, when matplotlib is missing."""
    if not have_matplotlib():
        print(f"\nmatplotlib is not installed; {PLOT_HINT} to save {what}.")
        return None
    outdir.mkdir(parents=True, exist_ok=True)
    return outdir / name
