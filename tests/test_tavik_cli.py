"""The tavik command line, run as a user runs it: gammatonegram and corpus."""
import errno
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tavik
from tavik import _io, _store

soundfile = pytest.importorskip("soundfile")
soxr = pytest.importorskip("soxr")

from cli_helpers import (SPEECH, corpus_files, local_cluster, npz, out_for,  # noqa: E402
                         small_file_system, store_files, tavik_cli, write_corpus)

NAMES_ANY_ENCODING = pytest.mark.skipif(sys.platform in ("darwin", "win32"),
                                        reason="the file system takes UTF-8 names only")


@pytest.fixture(scope="module")
def stereo(tmp_path_factory):
    """Two different channels at 22050 Hz, and the right one as a mono file."""
    folder = tmp_path_factory.mktemp("stereo")
    rng = np.random.default_rng(3)
    t = np.arange(11025) / 22050
    left = 0.3 * np.sin(2 * np.pi * 300 * t) + 0.01 * rng.standard_normal(t.size)
    right = 0.3 * np.sin(2 * np.pi * 3000 * t)
    soundfile.write(folder / "stereo.flac", np.stack([left, right], axis=1), 22050,
                    subtype="PCM_24")
    data, _ = soundfile.read(folder / "stereo.flac", dtype="float64")
    soundfile.write(folder / "right.wav", data[:, 1], 22050, subtype="FLOAT")
    return folder, data


class TestGammatonegram:
    def test_default_sample_writes_picture_and_features(self, tmp_path):
        out = tavik_cli("gammatonegram", cwd=tmp_path, script=True)
        assert out.returncode == 0, out.stderr
        samples, sr = soundfile.read(SPEECH, dtype="float64")
        lines = out.stdout.splitlines()
        assert lines[:2] == [f"frames: {(len(samples) - 400) // 160 + 1}",
                             f"duration: {len(samples) / sr:.3f} s"]
        assert lines[2].startswith("real-time factor: ")
        assert lines[3] == "wrote gammatonegram.png and gammatonegram.npz"
        assert (tmp_path / "gammatonegram.png").read_bytes().startswith(b"\x89PNG")
        # 16 kHz: 25 ms frames every 10 ms, --high capped at 90 % of Nyquist.
        expected = tavik.gammatonegram(samples, sr, high_Hz=7200)
        saved = npz(tmp_path / "gammatonegram.npz")
        assert saved["features"].tobytes() == expected.features.tobytes()
        assert saved["centre_frequencies"].tobytes() == expected.centre_frequencies.tobytes()
        assert {k: saved[k].item() for k in ("sample_rate", "num_samples", "hop", "high_Hz",
                                             "transform")} == {
            "sample_rate": 16000, "num_samples": 400, "hop": 160, "high_Hz": 7200.0,
            "transform": "log10(floor=1e-10)"}

    def test_options_and_channels(self, tmp_path, stereo):
        folder, data = stereo
        options = ["--num-features", 10, "--low", 80, "--high", 5000,
                   "--temporal-integration", 0.004, "--frame", 512, "--hop", 300]
        for name, source, channel in [("one", "stereo.flac", 1), ("right", "right.wav", -1),
                                      ("mean", "stereo.flac", -1)]:
            out = tavik_cli("gammatonegram", folder / source, "--channel", channel, *options,
                            "--out", tmp_path / name, cwd=tmp_path)
            assert out.returncode == 0, out.stderr
        features = {name: npz(tmp_path / f"{name}.npz")["features"] for name in ("one", "right",
                                                                                "mean")}
        assert features["one"].tobytes() == features["right"].tobytes()
        expected = tavik.gammatonegram(data, 22050, num_features=10, low_Hz=80, high_Hz=5000,
                                       temporal_integration=0.004, num_samples=512, hop=300)
        assert features["mean"].tobytes() == expected.features.tobytes()

    def test_digital_silence_is_drawn_at_the_floor(self, tmp_path):
        import matplotlib.image

        signal = np.zeros(32000)
        signal[16000:] = 0.1 * np.random.default_rng(1).standard_normal(16000)
        soundfile.write(tmp_path / "half.wav", signal, 16000, subtype="PCM_16")
        out = tavik_cli("gammatonegram", "half.wav", "--out", "half", "--floor-dB=-inf",
                        cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        assert np.isneginf(npz(tmp_path / "half.npz")["features"][:50]).all()
        # Inside the axes, over the silent first second: dark floor, not a white gap.
        picture = matplotlib.image.imread(tmp_path / "half.png")
        assert picture[150:400, 150:450, :3].max() < 0.2

    @pytest.mark.parametrize(
        "args, message",
        [
            (["missing.wav"], "no such audio file: missing.wav"),
            (["not-audio.wav"], "cannot read not-audio.wav as audio: "),
            (["--high", "8000"], "sample rate 16000 Hz is too low for --high 8000 Hz"),
            (["--low", "5000", "--high", "100"], "Invalid frequency range"),
            (["--channel", "1"], "--channel 1 is out of range for a file of 1 channel(s)"),
            (["--frame", "1000000"], "is shorter than one frame of 1000000 samples"),
            (["--hop", "0"], "--hop must be from 1 to 2147483647, not 0"),
        ],
    )
    def test_bad_input_is_one_line_and_status_2(self, tmp_path, args, message):
        (tmp_path / "not-audio.wav").write_text("RIFF but not really\n")
        out = tavik_cli("gammatonegram", *args, cwd=tmp_path)
        assert out.returncode == 2
        assert out.stderr.count("\n") == 1 and "Traceback" not in out.stderr
        assert out.stderr.startswith("tavik gammatonegram: ") and message in out.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == ["not-audio.wav"]

    @pytest.mark.parametrize("shape, at, where", [((96000,), 70000, "70000"),
                                                  ((32000, 2), (5000, 1), "5000 of channel 1")])
    def test_a_non_finite_sample_is_refused_in_continuous_mode(self, tmp_path, shape, at, where):
        signal = np.full(shape, 0.1)
        signal[at] = np.nan  # in the second block of reading, for the mono file
        soundfile.write(tmp_path / "a.wav", signal, 16000, subtype="FLOAT")
        out = tavik_cli("gammatonegram", "a.wav", cwd=tmp_path)
        assert (out.returncode, out.stderr) == (2, (
            "tavik gammatonegram: cannot compute the features of a.wav: The signal holds a "
            f"non-finite sample (nan) at sample {where}\n"))
        assert os.listdir(tmp_path) == ["a.wav"]
        # Frames mode keeps NaN to the frames that hold the sample.
        frames = tavik_cli("gammatonegram", "a.wav", "--mode", "frames", "--no-plot",
                           cwd=tmp_path)
        assert frames.returncode == 0, frames.stderr
        sample = np.atleast_1d(at)[0]
        holding = np.arange(sample // 160 - 2, sample // 160 + 1)  # 400-sample frames, hop 160
        assert np.array_equal(np.flatnonzero(np.isnan(npz(tmp_path / "a.npz")["features"])
                                             .any(axis=1)), holding[holding * 160 + 400 > sample])
        # The corpus lists the file as failed, its index counted where it was found.
        (tmp_path / "in").mkdir()
        os.replace(tmp_path / "a.wav", tmp_path / "in" / "a.wav")
        corpus = tavik_cli("corpus", "in", "out", "--sample-rate", 8000, cwd=tmp_path)
        assert corpus.returncode == 1
        assert re.fullmatch(r"tavik corpus: in/a\.wav: The signal holds a non-finite sample "
                            r"\(nan\) at sample \d+( of channel 1)? \(counted at 8000 Hz, "
                            r"after resampling\)\n", corpus.stderr), corpus.stderr


class TestOutputsAndOptions:
    @pytest.mark.parametrize(
        "out, written",
        [
            (None, ["speech.npz", "speech.png"]),              # the input's stem, here
            ("song.png", ["song.npz", "song.png"]),            # a known suffix is taken off
            ("new/deeper/song", ["new/deeper/song.npz", "new/deeper/song.png"]),
        ],
    )
    def test_where_the_picture_and_features_go(self, tmp_path, out, written):
        (tmp_path / "in").mkdir()
        (tmp_path / "in" / "speech.wav").write_bytes(SPEECH.read_bytes())
        result = tavik_cli("gammatonegram", "in/speech.wav", *(["--out", out] if out else []),
                           cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert corpus_files(tmp_path) == sorted(written + ["in/speech.wav"])

    @pytest.mark.parametrize(
        "out, message",
        [
            (".", "--out '.' names a folder, not a file"),
            ("", "--out '' names a folder, not a file"),
            ("/", "--out '/' names a folder, not a file"),
            ("sub/", "--out 'sub/' names a folder, not a file"),
            ("x", "cannot write x.npz: it is a folder"),
            ("file/y", "cannot write file/y.png: file is not a folder"),
            ("y" * 300, f"cannot write {'y' * 300}.png: File name too long"),
            ("new/" + "y" * 300, f"cannot write new/{'y' * 300}.png: File name too long"),
        ],
    )
    def test_outputs_that_cannot_be_files(self, tmp_path, out, message):
        (tmp_path / "x.npz").mkdir()
        (tmp_path / "file").write_text("")
        result = tavik_cli("gammatonegram", "--out", out, cwd=tmp_path)
        assert (result.returncode, result.stderr) == (2, f"tavik gammatonegram: {message}\n")
        assert sorted(p.name for p in tmp_path.iterdir()) == ["file", "x.npz"]

    @pytest.mark.parametrize(
        "option, value, message",
        [
            ("--frame", 10**20, "--frame must be from 1 to 2147483647, not 100000000000000000000"),
            ("--hop", 10**20, "--hop must be from 1 to 2147483647"),
            ("--num-features", 2**40, "--num-features must be from 2 to 10000"),
            ("--channel", 10**20, "--channel must be from -2147483647 to 2147483647"),
            ("--low", "nan", "--low must be a finite number, not nan"),
            ("--floor-dB", "nan", "--floor-dB must be -inf or a level from -6153 to 6165 dB, "
                                  "not nan"),
            ("--floor-dB", "7000", "--floor-dB must be -inf or a level from -6153 to 6165 dB, "
                                   "not 7000"),
            ("--floor-dB=-7000", None, "--floor-dB must be -inf or a level from -6153 to 6165 "
                                       "dB, not -7000"),
            ("--floor-dB", "inf", "--floor-dB must be -inf or a level"),
        ],
    )
    @pytest.mark.parametrize("command", ["gammatonegram", "corpus"])
    def test_numbers_out_of_range(self, tmp_path, command, option, value, message):
        (tmp_path / "in").mkdir()
        args = ["in", "out"] if command == "corpus" else []
        result = tavik_cli(command, *args, option, *([value] if value is not None else []),
                           cwd=tmp_path)
        assert result.returncode == 2 and result.stderr.count("\n") == 1
        assert result.stderr.startswith(f"tavik {command}: {message}")
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in"]

    @NAMES_ANY_ENCODING
    def test_names_in_any_encoding_are_read_and_reported(self, tmp_path):
        """Names that are not UTF-8, under a strict UTF-8 standard output:
        read and written like any other, their bytes shown as \\xNN."""
        def named(raw):
            return os.fsdecode(raw)

        strict = {"PYTHONIOENCODING": "utf-8"}
        (tmp_path / named(b"caf\xe9.wav")).write_bytes(SPEECH.read_bytes())
        out = tavik_cli("gammatonegram", named(b"caf\xe9.wav"), "--out", named(b"\xff/x"),
                        cwd=tmp_path, env=strict)
        assert out.returncode == 0 and out.stderr == ""
        assert out.stdout.splitlines()[-1] == "wrote \\xff/x.png and \\xff/x.npz"
        expected = tavik.gammatonegram(*soundfile.read(SPEECH), high_Hz=7200)
        saved = npz(tmp_path / named(b"\xff") / "x.npz")
        assert saved["features"].tobytes() == expected.features.tobytes()
        missing = tavik_cli("gammatonegram", named(b"caf\xe9.flac"), cwd=tmp_path, env=strict)
        assert (missing.returncode, missing.stderr) == (
            2, "tavik gammatonegram: no such audio file: caf\\xe9.flac\n")

        folder = tmp_path / "in" / named(b"d\xe9")
        folder.mkdir(parents=True)
        (folder / "speech.wav").write_bytes(SPEECH.read_bytes())
        (tmp_path / "in" / named(b"b\xe9.wav")).write_bytes(b"RIFF but not really")
        corpus = tavik_cli("corpus", "in", named(b"out\xe9"), cwd=tmp_path, env=strict)
        assert corpus.returncode == 1
        assert corpus.stderr.startswith("tavik corpus: in/b\\xe9.wav: cannot read as audio: ")
        assert corpus.stdout.splitlines()[-1] == ("1 done, 0 skipped as already done, 1 failed "
                                                  "(features under out\\xe9)")
        assert npz(tmp_path / named(b"out\xe9") / named(b"d\xe9") / "speech.npz")[
            "features"].tobytes() == expected.features.tobytes()

    @NAMES_ANY_ENCODING
    def test_control_characters_in_names_are_escaped_on_one_line(self, tmp_path):
        """A newline, a tab, an escape, DEL and a C1 control in a name: each
        shown as \\xNN, so a report line stays one line and sends nothing
        to the terminal."""
        controls, shown = "\n\t\x1b[31m\x7f\x85", "\\x0a\\x09\\x1b[31m\\x7f\\x85"
        (tmp_path / f"a{controls}.wav").write_bytes(SPEECH.read_bytes())
        out = tavik_cli("gammatonegram", f"a{controls}.wav", "--no-plot", "--out",
                        f"b{controls}", cwd=tmp_path)
        assert out.returncode == 0 and out.stderr == ""
        assert out.stdout.splitlines()[-1] == f"wrote b{shown}.npz"
        assert (tmp_path / f"b{controls}.npz").is_file()
        missing = tavik_cli("gammatonegram", f"c{controls}.wav", cwd=tmp_path)
        assert (missing.returncode, missing.stderr) == (
            2, f"tavik gammatonegram: no such audio file: c{shown}.wav\n")

        (tmp_path / "in").mkdir()
        (tmp_path / "in" / f"d{controls}.wav").write_bytes(b"RIFF but not really")
        corpus = tavik_cli("corpus", "in", f"out{controls}", cwd=tmp_path)
        assert corpus.returncode == 1 and corpus.stderr.count("\n") == 1
        assert corpus.stderr.startswith(f"tavik corpus: in/d{shown}.wav: cannot read as audio: ")
        assert corpus.stdout == ("0 done, 0 skipped as already done, 1 failed "
                                 f"(features under out{shown})\n")

    @pytest.mark.parametrize("command, args, line", [
        ("gammatonegram", ["--out", "dangling/x"],
         "cannot write dangling/x.png: dangling is a symbolic link to nothing"),
        ("corpus", ["in", "dangling/out"],
         "cannot write dangling/out: dangling is a symbolic link to nothing"),
    ])
    def test_an_output_under_a_link_to_nothing_is_refused_before_any_work(self, tmp_path,
                                                                          command, args, line):
        (tmp_path / "in").mkdir()
        (tmp_path / "in" / "speech.wav").write_bytes(SPEECH.read_bytes())
        (tmp_path / "dangling").symlink_to("nowhere")
        out = tavik_cli(command, *args, cwd=tmp_path)
        assert (out.returncode, out.stderr, out.stdout) == (2, f"tavik {command}: {line}\n", "")
        assert sorted(os.listdir(tmp_path)) == ["dangling", "in"]

    def test_outputs_on_a_full_or_read_only_file_system(self, tmp_path):
        (tmp_path / "in").mkdir()
        noise = 0.1 * np.random.default_rng(6).standard_normal(16000 * 5)
        soundfile.write(tmp_path / "in" / "a.wav", noise, 16000)  # 255 KB of features
        with small_file_system(tmp_path / "full"):
            out = tavik_cli("gammatonegram", "in/a.wav", "--no-plot", "--out", "full/x",
                            cwd=tmp_path)
            assert (out.returncode, out.stderr) == (
                1, f"tavik gammatonegram: cannot write full/x.npz: {os.strerror(errno.ENOSPC)}\n")
            corpus = tavik_cli("corpus", "in", "full/c", cwd=tmp_path)
            assert corpus.returncode == 1 and corpus.stderr.count("\n") == 1
            assert corpus.stderr.startswith("tavik corpus: in/a.wav: ")
            assert os.strerror(errno.ENOSPC) in corpus.stderr
            assert corpus_files(tmp_path / "full") == []
        with small_file_system(tmp_path / "ro", "ro,size=64k"):
            for command, args, target in [("gammatonegram", ["in/a.wav", "--out", "ro/new/x"],
                                           "ro/new/x.png"), ("corpus", ["in", "ro/c"], "ro/c")]:
                out = tavik_cli(command, *args, cwd=tmp_path)
                assert (out.returncode, out.stderr) == (
                    2, f"tavik {command}: cannot write {target}: ro: {os.strerror(errno.EROFS)}\n")
        # Features already there on a read-only file system: nothing to write, no error.
        with small_file_system(tmp_path / "done", "size=1m"):
            assert tavik_cli("corpus", "in", "done", cwd=tmp_path).returncode == 0
            subprocess.run(["mount", "-o", "remount,ro", str(tmp_path / "done")], check=True,
                           timeout=30)
            again = tavik_cli("corpus", "in", "done", cwd=tmp_path)
            assert again.returncode == 0, again.stderr
            assert again.stdout.startswith("0 done, 1 skipped as already done")

    def test_a_store_on_a_full_or_read_only_file_system(self, tmp_path):
        """A part that cannot be written fails each of its files and leaves
        nothing; a store whose recordings are all done is read alone."""
        out_for("zarr")
        (tmp_path / "in").mkdir()
        for name in ("a.wav", "b.wav"):  # 255 KB of features each
            soundfile.write(tmp_path / "in" / name,
                            0.1 * np.random.default_rng(6).standard_normal(16000 * 5), 16000)
        with small_file_system(tmp_path / "full"):
            out = tavik_cli("corpus", "in", "full/c.zarr", "--workers", 1, cwd=tmp_path)
            assert out.returncode == 1 and out.stdout.startswith("0 done, 0 skipped")
            lines = out.stderr.splitlines()
            assert [line.split(": ")[1] for line in lines] == ["in/a.wav", "in/b.wav"]
            assert all(os.strerror(errno.ENOSPC) in line for line in lines)
            assert store_files(tmp_path / "full" / "c.zarr") == ["parts/zarr.json", "zarr.json"]
        with small_file_system(tmp_path / "done", "size=2m"):
            assert tavik_cli("corpus", "in", "done/c.zarr", cwd=tmp_path).returncode == 0
            subprocess.run(["mount", "-o", "remount,ro", str(tmp_path / "done")], check=True,
                           timeout=30)
            again = tavik_cli("corpus", "in", "done/c.zarr", cwd=tmp_path)
            assert again.returncode == 0, again.stderr
            assert again.stdout.startswith("0 done, 2 skipped as already done")

    def test_a_header_that_claims_2_to_the_35_samples(self, tmp_path):
        soundfile.write(tmp_path / "t.flac", 0.1 * np.ones(16000), 16000)
        data = bytearray((tmp_path / "t.flac").read_bytes())
        # STREAMINFO's 36-bit count of samples ends at byte 26.
        field = int.from_bytes(data[18:26], "big") & ~(2**36 - 1) | 2**35
        data[18:26] = field.to_bytes(8, "big")
        (tmp_path / "t.flac").write_bytes(data)
        assert soundfile.info(tmp_path / "t.flac").frames == 2**35
        result = tavik_cli("gammatonegram", "t.flac", cwd=tmp_path)
        assert "Traceback" not in result.stderr and result.stderr.count("\n") <= 1
        assert result.returncode in (0, 2)

    def test_version_no_plot_and_the_whole_command_time(self, tmp_path):
        version = tavik_cli("--version", cwd=tmp_path)
        assert version.stdout == f"tavik {tavik.__version__}\n"
        result = tavik_cli("gammatonegram", "--no-plot", cwd=tmp_path)
        assert result.returncode == 0 and os.listdir(tmp_path) == ["gammatonegram.npz"]
        line = result.stdout.splitlines()[2]
        assert " ms in the filterbank, " in line and "; the whole command " in line
        assert result.stdout.splitlines()[3] == "wrote gammatonegram.npz"

    def test_a_closed_stdout_is_not_a_traceback(self, tmp_path):
        command = f"{sys.executable} -m tavik gammatonegram --no-plot | head -c0"
        result = subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True,
                                text=True, timeout=120)
        assert result.stderr == ""

    @pytest.mark.parametrize("rate, mode", [(8000, None), (44100, None), (22050, "frames"),
                                            (16000, "continuous")])
    def test_defaults_are_the_api_defaults(self, tmp_path, rate, mode):
        # Longer than a block of reading, in two channels.
        signal = 0.3 * np.sin(2 * np.pi * 300 * np.arange(3 * 2**16) / rate)
        signal[: rate // 4] = signal[-rate // 4:] = 0.0  # digital silence: at the floor
        stereo = np.stack([signal, signal[::-1]], axis=1)
        soundfile.write(tmp_path / "a.wav", stereo, rate, subtype="PCM_16")
        result = tavik_cli("gammatonegram", "a.wav", "--no-plot",
                           *(["--mode", mode] if mode else []), cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        saved = npz(tmp_path / "a.npz")
        expected = tavik.gammatonegram(*soundfile.read(tmp_path / "a.wav"),
                                       mode=mode or "continuous")
        assert saved["features"].tobytes() == expected.features.tobytes()
        assert saved["high_Hz"] == expected.high_Hz < rate / 2
        assert saved["mode"] == expected.mode == (mode or "continuous")
        assert saved["floor_dB"] == -200 and saved["features"].min() == -10.0


def mp3_or_skip():
    if "MP3" not in soundfile.available_formats():
        pytest.skip(f"this libsndfile ({soundfile.__libsndfile_version__}) writes no MP3")


@pytest.mark.parametrize("name, subtype", [("a.flac", "PCM_24"), ("a.ogg", "VORBIS"),
                                           ("a.mp3", None)])
def test_blocks_and_the_streaming_resampler_are_the_whole_file(tmp_path, name, subtype):
    if name.endswith(".mp3"):
        mp3_or_skip()  # whose decoder starts afresh wherever a read seeks
    rng = np.random.default_rng(4)
    data = rng.uniform(-1, 1, (150001, 2))
    soundfile.write(tmp_path / name, data, 22050, subtype=subtype)
    whole, _ = soundfile.read(tmp_path / name)
    for block in (997, 1 << 16):
        assert np.concatenate(list(_io.read_blocks(tmp_path / name, block=block))).tobytes() \
            == whole.tobytes()
        resampled = np.concatenate(list(_io.read_blocks(tmp_path / name, 16000, block=block)))
        assert resampled.tobytes() == soxr.resample(whole, 22050, 16000).tobytes()


def test_an_mp3_gives_the_features_of_its_whole_samples(tmp_path):
    mp3_or_skip()
    t = np.arange(10 * 16000) / 16000
    soundfile.write(tmp_path / "a.mp3", 0.5 * np.sin(2 * np.pi * 440 * t), 16000, format="MP3")
    out = tavik_cli("gammatonegram", "a.mp3", "--no-plot", cwd=tmp_path)
    assert out.returncode == 0 and out.stderr == ""
    expected = tavik.gammatonegram(*soundfile.read(tmp_path / "a.mp3"))
    assert npz(tmp_path / "a.npz")["features"].tobytes() == expected.features.tobytes()


@pytest.mark.parametrize("name, subtype, channels", [("a.flac", "PCM_24", 2), ("a.wav", "FLOAT", 1),
                                                     ("a.mp3", None, 1)])
def test_read_audio_gives_the_samples_and_features_of_the_command_line(tmp_path, name, subtype,
                                                                        channels):
    if name.endswith(".mp3"):
        mp3_or_skip()
    (tmp_path / "in").mkdir()
    path = tmp_path / "in" / name
    data = np.random.default_rng(6).uniform(-0.5, 0.5, (40000, channels)).squeeze()
    soundfile.write(path, data, 22050, subtype=subtype)
    whole, _ = soundfile.read(path)
    samples, rate = tavik.read_audio(path)
    assert rate == 22050 and samples.shape == whole.shape and samples.tobytes() == whole.tobytes()
    assert tavik.read_audio(os.fsencode(path), 22050)[0].tobytes() == whole.tobytes()
    with open(path, "rb") as file:
        assert tavik.read_audio(file)[0].tobytes() == whole.tobytes()
    narrow, _ = tavik.read_audio(str(path), dtype=np.float32)
    assert narrow.dtype == np.float32 and narrow.tobytes() == whole.astype(np.float32).tobytes()
    if subtype == "PCM_24":
        assert narrow.tobytes() == soundfile.read(path, dtype="float32")[0].tobytes()
    resampled, rate = tavik.read_audio(path, 16000)
    assert rate == 16000 and resampled.tobytes() == soxr.resample(whole, 22050, 16000).tobytes()
    assert tavik.read_audio(path, 16000.0, dtype="float32")[0].tobytes() \
        == resampled.astype(np.float32).tobytes()

    one = tavik_cli("gammatonegram", f"in/{name}", "--no-plot", "--out", "one", cwd=tmp_path)
    many = tavik_cli("corpus", "in", "out", "--sample-rate", 16000, cwd=tmp_path)
    assert one.returncode == 0 and many.returncode == 0, one.stderr + many.stderr
    assert npz(tmp_path / "one.npz")["features"].tobytes() \
        == tavik.gammatonegram(samples, 22050).features.tobytes()
    saved = npz(tmp_path / "out" / f"{path.stem}.npz")
    assert saved["features"].tobytes() \
        == tavik.gammatonegram(*tavik.read_audio(path, 16000)).features.tobytes()


def test_read_audio_needs_the_cli_extra_and_import_tavik_does_not(tmp_path):
    soundfile.write(tmp_path / "a.wav", np.zeros(100), 8000)
    code = ("import sys, tavik\n"
            "print(sorted({'soundfile', 'soxr', 'matplotlib'} & set(sys.modules)))\n"
            "sys.modules['soxr'] = None  # as if it were not installed\n"
            "print(tavik.read_audio('a.wav', 8000)[1])\n"
            "for missing in ('soxr', 'soundfile'):\n"
            "    sys.modules[missing] = None\n"
            "    try:\n"
            "        tavik.read_audio('a.wav', 16000)\n"
            "    except ImportError as error:\n"
            "        print(error)\n")
    out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                         text=True, timeout=120)
    assert out.stdout.splitlines() == [
        "[]", "8000", "resampling needs the Python package soxr: pip install 'tavik[cli]'",
        "tavik.read_audio needs the Python package soundfile: pip install 'tavik[cli]'"], out.stderr


def test_plot_pools_frames_into_the_picture_s_columns():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    signal = np.random.default_rng(2).standard_normal(16000 * 60)
    signal[:16000] = 0.0
    g = tavik.gammatonegram(signal, 16000, transform=tavik.transforms.log10(), num_features=16)
    ax = tavik.plot(g)
    mesh = ax.collections[0]
    columns = mesh.get_array().reshape(16, -1).shape[1]
    figure = ax.figure
    assert columns <= figure.get_figwidth() * figure.dpi < g.features.shape[0] / 5
    assert np.isfinite(mesh.get_array()).all()  # -inf of silence drawn at the floor
    assert "floor: 100 dB below the loudest" in figure.axes[1].get_ylabel()
    plt.close(figure)


def drawn(g, **options):
    """What tavik.plot drew: the mesh's values and cell edges, and the colour bar's label."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ax = tavik.plot(g, **options)
    mesh = ax.collections[0]
    picture = (np.array(mesh.get_array()), mesh.get_coordinates().copy(),
               ax.figure.axes[1].get_ylabel())
    plt.close(ax.figure)
    return picture


def test_plot_draws_a_plain_array_as_it_is_on_the_axes_it_is_given():
    g = tavik.gammatonegram(np.random.default_rng(3).standard_normal(8000), 16000,
                            num_features=8)
    values = tavik.cmvn(g)
    frames = len(values)
    by_rate = drawn(values, centre_frequencies=g.centre_frequencies, sample_rate=16000, hop=160)
    assert (by_rate[0].reshape(8, frames) == values.T).all() and by_rate[2] == "value"
    assert (by_rate[1][0, :, 0] == np.arange(frames + 1) * 160 / 16000).all()
    assert (by_rate[1][:, 0, 1] == drawn(g)[1][:, 0, 1]).all()  # the gammatonegram's bands
    by_times = drawn(values, centre_frequencies=g.centre_frequencies, times=g.times)
    np.testing.assert_allclose(by_times[1], by_rate[1], rtol=1e-14)
    edges = np.arange(frames + 1) ** 1.5
    narrow = values.astype(np.float32)
    by_edges = drawn(narrow, centre_frequencies=g.centre_frequencies, times=edges)
    assert (by_edges[1][0, :, 0] == edges).all() and (by_edges[0].reshape(8, -1) == narrow.T).all()


def test_plot_s_top_db_is_its_former_floor_db():
    g = tavik.gammatonegram(np.random.default_rng(4).standard_normal(8000), 16000,
                            num_features=8)
    default, limited = drawn(g), drawn(g, top_dB=20)
    assert "floor: 100 dB below the loudest" in default[2]
    assert "floor: 20 dB below the loudest" in limited[2]
    assert limited[0].min() == default[0].max() - 20 < default[0].min() + 80
    with pytest.warns(DeprecationWarning, match="floor_dB is now called top_dB"):
        former = drawn(g, floor_dB=20)
    assert (former[0] == limited[0]).all() and former[2] == limited[2]


class TestCorpus:
    def test_run_resume_and_overwrite(self, tmp_path):
        written = write_corpus(tmp_path / "in")
        out = tavik_cli("corpus", "in", "out", "--workers", 2, "--num-features", 16,
                        cwd=tmp_path)
        assert out.returncode == 1
        assert out.stdout.splitlines()[-1] == ("3 done, 0 skipped as already done, 1 failed "
                                               "(features under out)")
        assert out.stderr.startswith("tavik corpus: in/broken.ogg: cannot read as audio: ")
        assert out.stderr.count("\n") == 1
        assert corpus_files(tmp_path / "out") == written
        samples, _ = soundfile.read(tmp_path / "in" / "two.wav", dtype="float64")
        saved = npz(tmp_path / "out" / "two.npz")
        expected = tavik.gammatonegram(samples, 16000, num_features=16, high_Hz=7200)
        assert saved["features"].tobytes() == expected.features.tobytes()
        assert saved["times"].tobytes() == expected.times.tobytes()
        assert set(saved) == {"features", "centre_frequencies", "times", "sample_rate", "hop",
                              "num_samples", "num_features", "low_Hz", "high_Hz",
                              "temporal_integration", "channel", "transform", "floor_dB", "mode",
                              "source_sample_rate", "source_size", "source_mtime_ns",
                              "source_inode", "settings"}

        (tmp_path / "in" / "broken.ogg").unlink()
        before = {p: (p.read_bytes(), p.stat().st_mtime_ns) for p in (tmp_path / "out").rglob("*.npz")}
        again = tavik_cli("corpus", "in", "out", "--num-features", 16, cwd=tmp_path)
        assert again.returncode == 0, again.stderr
        assert again.stdout.splitlines()[-1].startswith("0 done, 3 skipped as already done, 0 failed")
        assert {p: (p.read_bytes(), p.stat().st_mtime_ns) for p in before} == before

        redo = tavik_cli("corpus", "in", "out", "--num-features", 16, "--overwrite", cwd=tmp_path)
        assert redo.stdout.splitlines()[-1].startswith("3 done, 0 skipped")
        assert all(p.read_bytes() == content for p, (content, _) in before.items())

    def test_a_store_holds_what_the_npz_files_hold(self, tmp_path):
        """Every recording of a store reads as tavik.load reads its .npz, bit
        for bit; the store is four files; float32 halves it, each value
        rounded once."""
        out_for("zarr")
        write_corpus(tmp_path / "in")
        for out, options in [("npz", []), ("store.zarr", []), ("half", ["--format", "zarr",
                                                                        "--dtype", "float32"])]:
            run = tavik_cli("corpus", "in", out, "--num-features", 16, "--workers", 1, *options,
                            cwd=tmp_path)
            assert run.returncode == 1 and run.stderr.count("\n") == 1, run.stderr
        folder, store, half = (tavik.open_corpus(tmp_path / n) for n in ("npz", "store.zarr", "half"))
        assert store.names == half.names == ("nested/speech.wav", "noise.flac", "two.wav")
        assert folder.names == ("nested/speech.npz", "noise.npz", "two.npz")
        assert store.offsets.tolist() == folder.offsets.tolist() == half.offsets.tolist()
        for loaded, stored, rounded in zip(folder, store, half):
            for name in ("features", "centre_frequencies", "times"):
                assert getattr(stored, name).tobytes() == getattr(loaded, name).tobytes()
            assert repr(stored) == repr(loaded) and dict(stored.extra) == dict(loaded.extra)
            assert (rounded.features == loaded.features.astype(np.float32)).all()
        assert np.asarray(store.features).tobytes() == np.asarray(folder.features).tobytes()
        assert dict(store.settings) == {**folder.settings, "dtype": "float64"}
        files = store_files(tmp_path / "store.zarr")
        assert len(files) == 4 and files[0].startswith("parts/000001-000000000-000003/")
        sizes = [sum((tmp_path / n / f).stat().st_size for f in files) for n in ("store.zarr", "half")]
        data, slack = store.features.shape[0] * 16 * 8, _store.CHUNK_BYTES + 8192
        assert data < sizes[0] < data + slack and data // 2 < sizes[1] < data // 2 + slack

    @pytest.mark.parametrize("args, message", [
        (["out", "--dtype", "float32"], "--dtype float32 needs a store: an OUT ending in .zarr, "
                                        "or --format zarr"),
        (["other.zarr"], "other.zarr exists and is not a tavik corpus store"),
        (["other.zarr", "--overwrite"], "other.zarr exists and is not a tavik corpus store"),
    ])
    def test_an_out_that_is_no_store_is_refused(self, tmp_path, args, message):
        out_for("zarr")
        write_corpus(tmp_path / "in")
        (tmp_path / "other.zarr").mkdir()
        (tmp_path / "other.zarr" / "zarr.json").write_text('{"zarr_format": 3}')
        out = tavik_cli("corpus", "in", *args, cwd=tmp_path)
        assert (out.returncode, out.stderr) == (2, f"tavik corpus: {message}\n")
        assert not (tmp_path / "out").exists()
        assert os.listdir(tmp_path / "other.zarr") == ["zarr.json"]

    def test_mixed_rates_are_refused_before_anything_is_written(self, tmp_path):
        write_corpus(tmp_path / "in")
        soundfile.write(tmp_path / "in" / "low.wav", np.zeros(4000), 8000)
        soundfile.write(tmp_path / "in" / "nested" / "low2.wav", np.zeros(4000), 8000)
        out = tavik_cli("corpus", "in", "out", cwd=tmp_path)
        assert out.returncode == 2 and not (tmp_path / "out").exists()
        assert out.stderr == ("tavik corpus: the files have different sample rates: 8000 Hz "
                              "(2 files), 16000 Hz (3 files); pass --sample-rate R to resample "
                              "them all to one rate\n")

    def test_resampled_run_has_one_frequency_axis(self, tmp_path):
        folder = tmp_path / "in"
        folder.mkdir()
        tone = 0.2 * np.sin(2 * np.pi * 440 * np.arange(12000) / 8000)
        soundfile.write(folder / "low.wav", tone, 8000, subtype="FLOAT")
        soundfile.write(folder / "high.wav", tone[:9000], 22050, subtype="FLOAT")
        out = tavik_cli("corpus", "in", "out", "--sample-rate", 12000, cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        low, high = npz(tmp_path / "out" / "low.npz"), npz(tmp_path / "out" / "high.npz")
        assert low["centre_frequencies"].tobytes() == high["centre_frequencies"].tobytes()
        assert (low["sample_rate"], low["source_sample_rate"], low["high_Hz"]) == (12000, 8000, 5400)
        resampled = soxr.resample(tone, 8000, 12000)
        expected = tavik.gammatonegram(resampled, 12000, high_Hz=5400)
        assert low["features"].tobytes() == expected.features.tobytes()

    @pytest.mark.parametrize("interruption", [KeyboardInterrupt, OSError])
    def test_an_interrupted_write_leaves_no_partial_file(self, tmp_path, monkeypatch,
                                                          interruption):
        target = tmp_path / "out" / "a.npz"
        _io.save_atomically(target, {"features": np.ones(3)})
        old = target.read_bytes()

        def half_then_fail(file, arrays):
            file.write(b"PK\x03\x04 half an archive")
            raise interruption("stopped")

        monkeypatch.setattr(_io, "write_npz", half_then_fail)
        with pytest.raises(interruption):
            _io.save_atomically(target, {"features": np.zeros(3)})
        with pytest.raises(interruption):
            _io.save_atomically(tmp_path / "out" / "b.npz", {"features": np.zeros(3)})
        assert os.listdir(tmp_path / "out") == ["a.npz"] and target.read_bytes() == old

    def test_a_failing_clean_up_leaves_the_error_that_stopped_the_writing(self, tmp_path):
        def replaced_by_a_folder(file):
            # The temporary file becomes what unlink cannot remove.
            os.unlink(file.name)
            os.makedirs(os.path.join(file.name, "inside"))
            raise ValueError("the writer's own error")

        with pytest.raises(ValueError, match="^the writer's own error$"):
            _io.write_all_or_nothing({tmp_path / "a.npz": replaced_by_a_folder})
        assert not (tmp_path / "a.npz").exists()

    @pytest.mark.parametrize(
        "args, message",
        [
            (["nowhere", "out"], "no such folder: nowhere"),
            (["empty", "out"], "no audio files in empty"),
            (["in", "out", "--workers", "0"], "--workers must be from 1 to 1024, not 0"),
            (["in", "out", "--sample-rate", "3000000000"],
             "--sample-rate must be from 1 to 1000000, not 3000000000"),
            (["in", "out", "--scheduler", "tcp://127.0.0.1:1", "--worker-timeout", "0"],
             "--worker-timeout must be positive, not 0"),
            (["in", "out", "--high", "9000"], "sample rate 16000 Hz is too low for --high 9000 Hz"),
            (["in", "out", "--scheduler", "tcp://127.0.0.1:1"],
             "cannot reach the Dask scheduler at tcp://127.0.0.1:1: "),
        ],
    )
    def test_bad_input_is_one_line_and_status_2(self, tmp_path, args, message):
        write_corpus(tmp_path / "in")
        (tmp_path / "empty").mkdir()
        out = tavik_cli("corpus", *args, cwd=tmp_path)
        assert out.returncode == 2 and not (tmp_path / "out").exists()
        assert out.stderr.startswith(f"tavik corpus: {message}") and out.stderr.count("\n") == 1


@pytest.mark.parametrize("format", ["npz", "zarr"])
def test_a_dask_cluster_writes_the_same_bytes(tmp_path, format):
    pytest.importorskip("distributed")
    options = ["--format", format] if format == "npz" else ["--format", out_for(format)[4:]]
    written = write_corpus(tmp_path / "in")
    local = tavik_cli("corpus", "in", "local", "--sample-rate", 11025, "--workers", 2, *options,
                      cwd=tmp_path)
    with local_cluster(n_workers=2, threads_per_worker=1, processes=True) as cluster:
        remote = tavik_cli("corpus", "in", "dask", "--sample-rate", 11025, "--scheduler",
                           cluster.scheduler_address, *options, cwd=tmp_path)
    assert local.returncode == remote.returncode == 1, remote.stderr
    assert remote.stdout.splitlines()[-1].startswith("3 done, 0 skipped as already done, 1 failed")
    if format == "npz":
        assert corpus_files(tmp_path / "dask") == written
    else:
        written = store_files(tmp_path / "local")
        # Two parts, one for each worker: of two recordings and of one.
        assert store_files(tmp_path / "dask") == written and len(written) == 6
    for name in written:
        assert (tmp_path / "dask" / name).read_bytes() == (tmp_path / "local" / name).read_bytes()


@pytest.mark.parametrize("claimed", [0, 3, 10, 2**60])
def test_rows_gathered_whatever_the_header_claims(claimed):
    from tavik._cli.common import _Rows

    rows = _Rows(4)
    rows.expect(claimed)
    pieces = [np.full((n, 4), float(n)) for n in (0, 2, 5, 1, 2000)]
    for piece in pieces:
        rows.add(piece)
    assert rows.all().tobytes() == np.concatenate(pieces).tobytes()


@pytest.mark.parametrize("options, transform", [
    ([], tavik.LOG10),
    (["--floor-dB=-inf", "--mode", "frames", "--frame", "300", "--channel", "-7"],
     tavik.transforms.log10(floor=0.0))])
def test_settings_are_the_api_s_analysis_and_a_floor(options, transform):
    import argparse
    import pickle

    from tavik._analysis import Analysis, parameters_of
    from tavik._cli.common import Extracted, Settings, add_analysis_options, record_of

    parser = argparse.ArgumentParser()
    add_analysis_options(parser)
    settings = Settings.of(parser.parse_args(options), 22050)
    a = settings.analysis
    mode = "frames" if options else "continuous"
    assert a == Analysis(22050, num_samples=300 if options else None, transform=transform,
                         mode=mode)
    assert settings.stream(1)._filterbank is a.filterbank() and a.num_threads == 0
    # The names that earlier runs stored, in the order a difference is told.
    assert list(settings.stored()) == ["sample_rate", "num_samples", "hop", "num_features",
                                       "low_Hz", "high_Hz", "temporal_integration", "channel",
                                       "floor_dB", "mode", "transform", "version"]
    copy = pickle.loads(pickle.dumps(settings))
    assert copy == settings and copy.describe_difference(settings.stored()) is None
    signal = np.random.default_rng(5).uniform(-1, 1, 5000)
    g = tavik.gammatonegram(signal, 22050, num_samples=a.num_samples, transform=transform,
                            mode=mode)
    record = record_of(Extracted(g.features, g.centre_frequencies, 5000, 0.0), settings)
    assert parameters_of(record) == parameters_of(g)
    assert record.times.tobytes() == g.times.tobytes()
