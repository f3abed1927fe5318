"""The example scripts, run as a user runs them."""
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

from _tavik.extractor import GammatoneFilterbank

soundfile = pytest.importorskip("soundfile")

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SPEECH = EXAMPLES / "data" / "speech.wav"


def run(script, *args, cwd):
    return subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def expected_mono(samples, sample_rate, frame, hop, **kwargs):
    fb = GammatoneFilterbank(num_samples=frame, sample_rate=sample_rate, **kwargs)
    return fb.batch(sliding_window_view(np.ascontiguousarray(samples), frame)[::hop])


@pytest.fixture(scope="module")
def stereo(tmp_path_factory):
    """Two different channels at 22050 Hz, and each of them as a mono file."""
    folder = tmp_path_factory.mktemp("stereo")
    rng = np.random.default_rng(3)
    t = np.arange(11025) / 22050
    left = 0.3 * np.sin(2 * np.pi * 300 * t) + 0.01 * rng.standard_normal(t.size)
    right = 0.3 * np.sin(2 * np.pi * 3000 * t)
    soundfile.write(folder / "stereo.flac", np.stack([left, right], axis=1), 22050,
                    subtype="PCM_24")
    data, _ = soundfile.read(folder / "stereo.flac", dtype="float64", always_2d=True)
    for i, name in enumerate(("left.wav", "right.wav")):
        soundfile.write(folder / name, data[:, i], 22050, subtype="FLOAT")
    return folder, data


class TestGammatonegram:
    def test_default_sample_writes_picture_and_features(self, tmp_path):
        out = run("gammatonegram.py", cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        lines = out.stdout.splitlines()
        samples, sr = soundfile.read(SPEECH, dtype="float64")
        frames = (len(samples) - 400) // 200 + 1
        assert lines[0] == f"frames: {frames}"
        assert lines[1] == f"duration: {len(samples) / sr:.3f} s"
        assert lines[2].startswith("real-time factor: ")
        png = (tmp_path / "gammatonegram.png").read_bytes()
        assert png.startswith(b"\x89PNG") and len(png) > 20_000
        # 16 kHz: 25 ms frames, half-frame hop, --high capped below Nyquist.
        features = np.load(tmp_path / "gammatonegram.npy")
        expected = expected_mono(samples, sr, 400, 200, high_Hz=7200)
        assert features.tobytes() == expected.tobytes()

    def test_options_reach_the_filterbank(self, tmp_path, stereo):
        folder, data = stereo
        out = run("gammatonegram.py", folder / "left.wav", "--num-features", 10, "--low", 80,
                  "--high", 5000, "--temporal-integration", 0.004, "--frame", 512, "--hop", 300,
                  "--out", tmp_path / "left", cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        expected = expected_mono(data[:, 0], 22050, 512, 300, num_features=10, low_Hz=80,
                                 high_Hz=5000, temporal_integration=0.004)
        assert np.load(tmp_path / "left.npy").tobytes() == expected.tobytes()
        assert (tmp_path / "left.png").is_file()

    def test_multichannel_goes_through_the_matrix_path(self, tmp_path, stereo):
        folder, data = stereo
        assert run("gammatonegram.py", folder / "stereo.flac", "--channel", 1, "--out",
                   tmp_path / "one", cwd=tmp_path).returncode == 0
        assert run("gammatonegram.py", folder / "right.wav", "--out", tmp_path / "right",
                   cwd=tmp_path).returncode == 0
        assert np.load(tmp_path / "one.npy").tobytes() == np.load(tmp_path / "right.npy").tobytes()

        assert run("gammatonegram.py", folder / "stereo.flac", "--out", tmp_path / "mean",
                   cwd=tmp_path).returncode == 0
        fb = GammatoneFilterbank(num_samples=551, sample_rate=22050)
        frames = [data[i:i + 551].T for i in range(0, len(data) - 550, 275)]
        assert np.load(tmp_path / "mean.npy").tobytes() == np.array([fb(f) for f in frames]).tobytes()

    @pytest.mark.parametrize(
        "args, message",
        [
            (["missing.wav"], "no such audio file: missing.wav"),
            (["not-audio.wav"], "cannot read not-audio.wav as audio: "),
            (["--high", "8000"], "sample rate 16000 Hz is too low for --high 8000 Hz"),
            (["--low", "5000", "--high", "100"], "Invalid frequency range"),
            (["--channel", "1"], "--channel 1 is out of range for a file of 1 channel(s)"),
            (["--frame", "1000000"], "is shorter than one frame of 1000000 samples"),
        ],
    )
    def test_bad_input_is_one_line_and_status_2(self, tmp_path, args, message):
        (tmp_path / "not-audio.wav").write_text("RIFF but not really\n")
        out = run("gammatonegram.py", *args, cwd=tmp_path)
        assert out.returncode == 2
        assert out.stderr.count("\n") == 1 and "Traceback" not in out.stderr
        assert out.stderr.startswith("gammatonegram: ") and message in out.stderr
        assert not (tmp_path / "gammatonegram.png").exists()


def test_corpus_over_a_process_pool(tmp_path, stereo):
    folder, data = stereo
    (folder / "nested").mkdir(exist_ok=True)
    (folder / "nested" / "speech.wav").write_bytes(SPEECH.read_bytes())
    (folder / "broken.ogg").write_bytes(b"OggS garbage")
    out = run("corpus.py", folder, tmp_path / "features", "--workers", 2, "--num-features", 16,
              cwd=tmp_path)
    assert out.returncode == 1
    assert out.stdout.startswith("files: 4 of 5, ")
    assert out.stderr.strip().startswith(f"corpus: {folder / 'broken.ogg'}: cannot read as audio")

    features = tmp_path / "features"
    assert sorted(p.relative_to(features).as_posix() for p in features.rglob("*.npy")) == [
        "left.npy", "nested/speech.npy", "right.npy", "stereo.npy"]
    left = expected_mono(data[:, 0], 22050, 551, 275, num_features=16)
    assert np.load(features / "left.npy").tobytes() == left.tobytes()
    samples, sr = soundfile.read(SPEECH, dtype="float64")
    speech = expected_mono(samples, sr, 400, 200, num_features=16, high_Hz=7200)
    assert np.load(features / "nested" / "speech.npy").tobytes() == speech.tobytes()

    missing = run("corpus.py", tmp_path / "nowhere", tmp_path / "x", cwd=tmp_path)
    assert missing.returncode == 2 and missing.stderr.startswith("corpus: no such folder")


def test_quickstart_runs(tmp_path):
    out = run("quickstart.py", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "bit-identical" in out.stdout
