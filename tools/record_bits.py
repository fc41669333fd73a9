#!/usr/bin/env python3
"""Writes tests/output_bits.json, the output-bits record that
tests/test_output_bits.py compares the module with.

    PYTHONPATH=build/dev python tools/record_bits.py            # every output
    PYTHONPATH=build/dev python tools/record_bits.py --only compute_batch_holten

--only (repeatable) replaces the hashes of the named functions and keeps the
others, which must then still match: a change meant to move the bits of one
function shows that it moved no other. Without --only the whole record is
written anew, with the compiler, C library and processor features of this
build and machine.
"""
import argparse
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import output_bits  # noqa: E402
import tessarin_rs  # noqa: E402


def function_of(key):
    return key.split(":")[0].split("/")[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", action="append", metavar="FUNCTION",
                    help="replace only the hashes of this function (repeatable)")
    args = ap.parse_args()

    here = output_bits.environment()
    got = output_bits.compute(tessarin_rs)
    if not args.only:
        output_bits.RECORD.write_text(json.dumps({"environment": here, "hashes": got},
                                                 indent=0, sort_keys=True) + "\n")
        print(f"recorded {len(got)} outputs with {here}")
        return 0

    unknown = set(args.only) - set(tessarin_rs.__all__)
    if unknown:
        ap.error(f"not functions of tessarin_rs: {sorted(unknown)}")
    record = output_bits.load()
    if record["environment"] != here:
        ap.error(f"the record was made with {record['environment']}, this build has {here}; "
                 "record every output instead")
    old = record["hashes"]
    moved = sorted(k for k in got if old.get(k) != got[k])
    others = [k for k in moved if function_of(k) not in args.only]
    if others:
        print(f"{len(others)} outputs of other functions moved, record unchanged:", file=sys.stderr)
        for k in others[:20]:
            print("  " + k, file=sys.stderr)
        return 1
    record["hashes"] = {k: (got[k] if function_of(k) in args.only else old[k]) for k in got}
    output_bits.RECORD.write_text(json.dumps(record, indent=0, sort_keys=True) + "\n")
    print(f"{len(moved)} outputs of {', '.join(args.only)} re-recorded")
    return 0


if __name__ == "__main__":
    sys.exit(main())
