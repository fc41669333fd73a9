"""The vector path the kernels take (TESSARIN_SIMD) changes their speed, never
their results: every output of the seventeen functions has the same bits on
the portable path as on the widest path of the machine running the tests."""
import json
from pathlib import Path

import pytest
import tessarin_rs as m
from tessarin import _native

import output_bits


@pytest.mark.slow
def test_portable_path_gives_the_bits_of_the_widest(python_subprocess):
    code = f"""
import json, sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
import output_bits, tessarin_rs
from tessarin import _native
print(json.dumps({{"simd": _native.build_info()["simd"],
                  "hashes": output_bits.compute(tessarin_rs)}}))
"""
    portable = json.loads(python_subprocess(code, {"TESSARIN_SIMD": "portable"}))
    assert portable["simd"] == "portable"
    here = output_bits.compute(m)
    differ = sorted(k for k in here if portable["hashes"].get(k) != here[k])
    assert not differ, (f"{len(differ)} of {len(here)} outputs differ between the portable "
                        f"path and {_native.build_info()['simd']}: {differ[:10]}")
