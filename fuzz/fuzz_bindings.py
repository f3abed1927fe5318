"""Coverage-guided fuzzing of the _tavik bindings with atheris.

    python fuzz/fuzz_bindings.py -max_total_time=60 [corpus_dir]

(`make fuzz` runs it under the sanitizers.) Coverage comes from the
instrumented Python of the scenarios; the module itself is built with gcc,
whose coverage hooks libFuzzer cannot read, so its faults show through the
sanitizers and through the scenarios' checks. A scenario that raises
anything but an expected exception, or breaks an invariant, is a crash.
"""
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports():
    import scenarios


def main():
    atheris.Setup(sys.argv, scenarios.run)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
