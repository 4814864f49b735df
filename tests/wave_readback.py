# SPDX-License-Identifier: MIT
"""Converts a Record file with recwav and reads the result back with Python's
own WAV reader, which knows nothing of recwav.

usage: wave_readback.py RECWAV INPUT.rec DECLARED_SAMPLES
"""
import os
import subprocess
import sys
import tempfile
import wave


def main():
    recwav, record_file, declared = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with tempfile.TemporaryDirectory() as folder:
        output = os.path.join(folder, "out.wav")
        run = subprocess.run([recwav, record_file, output], capture_output=True, check=False)
        failures = []
        if run.returncode != 0 or run.stdout:
            failures.append(f"recwav exited {run.returncode} printing {run.stdout!r}")
        with wave.open(output, "rb") as reader:
            read = (reader.getnchannels(), reader.getsampwidth(), reader.getframerate(),
                    reader.getcomptype(), reader.getnframes())
            frames = reader.readframes(reader.getnframes())
        if read != (1, 2, 8000, "NONE", declared):
            failures.append(f"channels, width, rate, type and frames read as {read}")
        with open(output, "rb") as raw:
            if frames != raw.read()[44:]:
                failures.append("the frames read are not the data behind the 44-byte header")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
