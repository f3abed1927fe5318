"""After the gammatonegram: GFCC, deltas, the ERB-rate scale, and files read
back with tavik.load."""
import os
import re
import struct
import subprocess
import sys
import zipfile

import numpy as np
import pytest

import tavik
from tavik import _io

scipy_fft = pytest.importorskip("scipy.fft")
scipy_signal = pytest.importorskip("scipy.signal")

SR = 16000


def noise_gammatonegram(transform=tavik.transforms.power(1 / 3), num_features=64, seconds=0.5):
    rng = np.random.default_rng(11)
    signal = rng.standard_normal(int(SR * seconds))
    return tavik.gammatonegram(signal, SR, num_features=num_features, transform=transform)


@pytest.mark.parametrize("num_features, num_ceps", [(64, 13), (64, 64), (2, 1), (37, 20), (100, 1)])
@pytest.mark.parametrize("transform", [tavik.transforms.power(1 / 3), tavik.LOG10])
def test_gfcc_is_the_orthonormal_dct(num_features, num_ceps, transform):
    g = noise_gammatonegram(transform, num_features)
    expected = scipy_fft.dct(g.features, type=2, norm="ortho", axis=1)[:, :num_ceps]
    got = tavik.gfcc(g, num_ceps)
    assert got.shape == expected.shape and got.dtype == np.float64
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12 * np.abs(g.features).max())


def test_gfcc_takes_any_2d_real_array_with_the_same_bits():
    g = noise_gammatonegram()
    reference = tavik.gfcc(g)
    strided = np.asfortranarray(g.features)[::1]
    assert tavik.gfcc(strided).tobytes() == reference.tobytes()
    assert tavik.gfcc(g.features.tolist()).tobytes() == reference.tobytes()
    integers = np.arange(12, dtype=np.int16).reshape(3, 4)
    assert tavik.gfcc(integers, 4).tobytes() == tavik.gfcc(integers.astype(float), 4).tobytes()
    assert tavik.gfcc(np.zeros((0, 8)), 3).shape == (0, 3)


@pytest.mark.parametrize("args, error, message", [
    ((np.zeros((3, 8)), 0), ValueError, "num_ceps must be between 1 and the number of filters (8), not 0"),
    ((np.zeros((3, 8)), 9), ValueError, "not 9"),
    ((np.zeros((3, 8)), 2.0), TypeError, "num_ceps must be an integer, not float"),
    ((np.zeros(8), 2), TypeError, "must be a Gammatonegram or a 2-D array of real numbers"),
    ((np.zeros((3, 8), complex), 2), TypeError, "got a 2-D complex128 array"),
    ((np.zeros((3, 0)), 1), ValueError, "number of filters (0)"),
])
def test_gfcc_refuses(args, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        tavik.gfcc(*args)


def test_native_dct_refuses_what_it_cannot_read():
    from _tavik import cepstra
    with pytest.raises(TypeError, match="C-contiguous 2-D float64"):
        cepstra.dct_rows(np.zeros((4, 3)).T, 2)
    with pytest.raises(TypeError, match="C-contiguous 2-D float64"):
        cepstra.dct_rows(np.zeros((4, 3), np.float32), 2)
    with pytest.raises(ValueError, match="num_ceps must be between 1"):
        cepstra.dct_rows(np.zeros((4, 3)), 4)


@pytest.mark.parametrize("lifter", [22, 1.5, 100])
def test_gfcc_lifter_is_htk_s_sinusoidal_weighting(lifter):
    g = noise_gammatonegram(tavik.LOG10)
    plain = tavik.gfcc(g, 20)
    n = np.arange(20)
    expected = plain * (1 + lifter / 2 * np.sin(np.pi * n / lifter))
    assert tavik.gfcc(g, 20, lifter=lifter).tobytes() == expected.tobytes()
    assert tavik.gfcc(g, 20, lifter=0).tobytes() == plain.tobytes()


def cmvn_expression(x, axis, variance=True):
    centred = x - x.mean(axis=axis, keepdims=True)
    return centred / x.std(axis=axis, keepdims=True) if variance else centred


@pytest.mark.parametrize("shape, axis", [((50, 7), 0), ((50, 7), 1), ((50, 7), -2),
                                         ((20, 3, 5), 0), ((20, 3, 5), -1)])
@pytest.mark.parametrize("variance", [True, False])
def test_cmvn_is_the_mean_and_population_deviation_along_the_axis(shape, axis, variance):
    x = np.random.default_rng(7).normal(3.0, 2.0, shape)
    before = x.copy()
    got = tavik.cmvn(x, axis, variance=variance)
    assert got.dtype == np.float64 and got.shape == shape and (x == before).all()
    np.testing.assert_array_equal(got, cmvn_expression(x, axis, variance))
    narrow = tavik.cmvn(x.astype(np.float32), axis, variance=variance)
    assert narrow.dtype == np.float32
    np.testing.assert_array_equal(
        narrow, cmvn_expression(x.astype(np.float32).astype(float), axis, variance).astype(np.float32))


def test_cmvn_of_constant_columns_is_zero_and_of_a_gammatonegram_its_features():
    x = np.random.default_rng(8).standard_normal((30, 4))
    x[:, 1] = 0.1  # whose mean rounds away from 0.1: NumPy's std is not 0
    x[:, 2] = -10.0
    got = tavik.cmvn(x)
    assert (got[:, 1:3] == 0).all()
    with np.errstate(invalid="ignore"):  # NumPy's 0 / 0 of the constant column
        np.testing.assert_array_equal(got[:, [0, 3]], cmvn_expression(x, 0)[:, [0, 3]])
    assert (tavik.cmvn(x[:1]) == 0).all() and tavik.cmvn(x[:0]).shape == (0, 4)
    x[3, 3] = np.inf
    assert np.isnan(tavik.cmvn(x)[:, 3]).all() and np.isfinite(tavik.cmvn(x)[:, :3]).all()
    g = noise_gammatonegram(seconds=0.1)
    assert tavik.cmvn(g).tobytes() == tavik.cmvn(g.features).tobytes()


@pytest.mark.parametrize("call, error, message", [
    (lambda: tavik.gfcc(np.ones((3, 8)), 2, lifter=-1), ValueError,
     "lifter must be 0 (none) or a positive finite number, not -1.0"),
    (lambda: tavik.gfcc(np.ones((3, 8)), 2, lifter=np.inf), ValueError, "not inf"),
    (lambda: tavik.gfcc(np.ones((3, 8)), 2, lifter="22"), TypeError,
     "lifter must be a real number, not str '22'"),
    (lambda: tavik.cmvn(np.ones((3, 8)), 2), ValueError,
     "axis must be from -2 to 1 for features of 2 dimension(s), not 2"),
    (lambda: tavik.cmvn(np.ones((3, 8)), 0.0), TypeError, "axis must be an integer, not float"),
    (lambda: tavik.cmvn(np.ones((3, 8)), variance=1), TypeError, "variance must be a bool, not int 1"),
    (lambda: tavik.cmvn(np.ones(3, complex)), TypeError,
     "features must be a Gammatonegram or an array of real numbers; got a 1-D complex128 array"),
    (lambda: tavik.cmvn(2.0), TypeError, "got a 0-D float64 array"),
])
def test_lifter_and_cmvn_refuse(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()


@pytest.mark.parametrize("width", [3, 5, 9, 13])
def test_deltas_are_htk_regression_with_repeated_edges(width):
    rng = np.random.default_rng(2)
    x = rng.standard_normal((40, 6))
    # The least-squares slope over the window with edges repeated is HTK's formula.
    expected = scipy_signal.savgol_filter(x, width, polyorder=1, deriv=1, axis=0, mode="nearest")
    np.testing.assert_allclose(tavik.deltas(x, width), expected, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(tavik.deltas(x, width, order=2),
                               tavik.deltas(tavik.deltas(x, width), width), rtol=0, atol=0)


def stereo_gammatonegrams(channels=3):
    """A gammatonegram of every channel of a noise, and one per channel."""
    signal = np.random.default_rng(6).standard_normal((4000, channels))
    each = tavik.gammatonegram(signal, SR, num_features=16, channel="each")
    return each, [tavik.gammatonegram(signal, SR, num_features=16, channel=k)
                  for k in range(channels)]


def test_gfcc_deltas_and_cmvn_of_each_channel_are_those_of_the_channel_alone():
    each, alone = stereo_gammatonegrams()
    for k, g in enumerate(alone):
        for step in (lambda x: tavik.gfcc(x, 5, lifter=22), tavik.deltas,
                     lambda x: tavik.deltas(x, 5, order=2), tavik.cmvn):
            channel_k = step(each)[:, k]
            assert channel_k.shape == step(g).shape
            assert channel_k.tobytes() == step(g).tobytes()
    assert tavik.gfcc(each.features.tolist(), 3).shape == (len(each.times), 3, 3)
    with pytest.raises(TypeError, match=r"or a 3-D one \(frames, channels, values\); got a "
                                        r"4-D float64 array"):
        tavik.deltas(each.features[..., None])


def test_deltas_of_short_and_empty_inputs():
    assert tavik.deltas(np.zeros((0, 3))).shape == (0, 3)
    # One frame: every neighbour is that frame, so every delta is 0.
    assert not tavik.deltas([[1.0, 2.0]]).any()
    g = noise_gammatonegram()
    assert tavik.deltas(g).tobytes() == tavik.deltas(g.features).tobytes()


@pytest.mark.parametrize("kwargs, error, message", [
    ({"width": 4}, ValueError, "width must be odd and at least 3, not 4"),
    ({"width": 1}, ValueError, "not 1"),
    ({"order": 0}, ValueError, "order must be at least 1, not 0"),
    ({"width": 9.0}, TypeError, "width must be an integer, not float"),
])
def test_deltas_refuse(kwargs, error, message):
    with pytest.raises(error, match=message):
        tavik.deltas(np.zeros((5, 2)), **kwargs)


@pytest.mark.parametrize("call, message", [
    (lambda: tavik.hz_to_erb_rate("1000"), "hz must be a real number or an array of real numbers; "
                                           "got a 0-D <U4 array"),
    (lambda: tavik.hz_to_erb_rate([1000, 2j]), "got a 1-D complex128 array"),
    (lambda: tavik.erb_rate_to_hz(True), "erb must be a real number or an array of real numbers"),
    (lambda: tavik.erb_rate_to_hz([{}]), "got objects that are not numbers"),
    (lambda: tavik.plot(np.zeros(8)), "g must be a Gammatonegram (what tavik.gammatonegram or "
                                      "tavik.load returns) or a 2-D array of real numbers"),
    (lambda: tavik.plot(np.zeros((3, 8))), "plot of a plain array needs centre_frequencies"),
    (lambda: tavik.load(3), "path must be a str or an os.PathLike, not int"),
    (lambda: tavik.read_audio(3), "path_or_file must be a str, an os.PathLike or a binary file "
                                  "object, not int 3"),
    (lambda: tavik.read_audio("a.wav", dtype=None), "dtype must be 'float64' or 'float32', not "
                                                    "NoneType None"),
    (lambda: tavik.read_audio("a.wav", 16000.5), "sample_rate must be an integer, not float"),
    (lambda: tavik.GammatoneStream(SR).push("abc"), "chunk must be a 1-D signal or a 2-D"),
    (lambda: tavik.plot(noise_gammatonegram(seconds=0.1), floor_dB="60"),
     "floor_dB must be a real number, not str '60'"),
])
def test_the_scale_the_picture_a_file_and_a_chunk_refuse_what_they_cannot_read(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


def test_erb_rate_is_the_scale_of_the_centre_frequencies():
    g = tavik.gammatonegram(np.zeros(2000), SR, num_features=40, low_Hz=70, high_Hz=7000)
    erb = tavik.hz_to_erb_rate(g.centre_frequencies)
    steps = np.diff(erb)
    np.testing.assert_allclose(steps, steps[0], rtol=1e-12)
    np.testing.assert_allclose(erb[[0, -1]], tavik.hz_to_erb_rate([70.0, 7000.0]), rtol=1e-14)
    np.testing.assert_allclose(tavik.erb_rate_to_hz(erb), g.centre_frequencies, rtol=1e-13)
    assert isinstance(tavik.hz_to_erb_rate(1000), float)
    assert isinstance(tavik.erb_rate_to_hz(np.float64(3.0)), float)


def write(path, fields):
    with open(path, "wb") as file:
        _io.write_npz(file, fields)


@pytest.mark.parametrize("transform", [
    tavik.LOG10, tavik.transforms.log10(floor=1e-10), tavik.transforms.dB(floor_dB=-90.0),
    tavik.transforms.power(1 / 3), tavik.transforms.identity()])
def test_load_gives_back_the_gammatonegram_and_its_filterbank(tmp_path, transform):
    rng = np.random.default_rng(4)
    signal = np.abs(rng.standard_normal(3000)) + 0.1
    g = tavik.gammatonegram(signal, SR, num_features=12, hop=123, temporal_integration=0.003,
                            transform=transform, mode="frames")
    write(tmp_path / "g.npz", {**_io.fields_of(g), "source_sample_rate": 44100})
    loaded = tavik.load(tmp_path / "g.npz")
    assert loaded.extra == {"source_sample_rate": 44100}
    assert loaded.features.tobytes() == g.features.tobytes() and not loaded.features.flags.writeable
    for name in ("sample_rate", "num_samples", "hop", "num_features", "low_Hz", "high_Hz",
                 "temporal_integration", "channel", "mode"):
        assert type(getattr(loaded, name)) is type(getattr(g, name))
        assert getattr(loaded, name) == getattr(g, name)
    fb = loaded.filterbank()
    assert fb.transform == g.filterbank().transform
    assert np.array(fb(signal[123:123 + fb.num_samples])).tobytes() == g.features[1].tobytes()
    # Written again, the extra fields travel with it.
    write(tmp_path / "again.npz", _io.fields_of(loaded))
    assert tavik.load(tmp_path / "again.npz").extra == {"source_sample_rate": 44100}


def test_load_reads_the_earlier_name_of_the_default_transform(tmp_path):
    g = tavik.gammatonegram(np.ones(1000), SR, num_features=4)
    write(tmp_path / "g.npz", {**_io.fields_of(g), "transform": "log10"})
    assert _io.fields_of(g)["transform"] == "log10(floor=1e-10)"
    assert tavik.load(tmp_path / "g.npz").transform is tavik.LOG10


def test_load_keeps_a_python_transform_by_name(tmp_path):
    def squash(x):
        return x / (1 + x)

    g = tavik.gammatonegram(np.ones(1000), SR, num_features=4, transform=squash)
    write(tmp_path / "g.npz", _io.fields_of(g))
    loaded = tavik.load(tmp_path / "g.npz")
    assert repr(loaded.transform).endswith("squash")
    with pytest.raises(TypeError, match="is a Python callable that a .npz file does not hold"):
        loaded.filterbank()(np.ones(400))


def test_load_reads_what_the_command_line_and_the_corpus_write(tmp_path):
    speech = os.path.join(os.path.dirname(tavik.__file__), "data", "speech.wav")
    (tmp_path / "in").mkdir()
    os.symlink(speech, tmp_path / "in" / "speech.wav")
    for args in (["gammatonegram", speech, "--out", "one"], ["corpus", "in", "out", "--workers", "1"]):
        subprocess.run([sys.executable, "-m", "tavik", *args], cwd=tmp_path, check=True,
                       capture_output=True, timeout=300)
    one, corpus = tavik.load(tmp_path / "one.npz"), tavik.load(tmp_path / "out" / "speech.npz")
    assert one.features.tobytes() == corpus.features.tobytes()
    assert corpus.extra["source_sample_rate"] == corpus.sample_rate == 16000
    assert one.filterbank().batch(np.zeros((1, one.num_samples))).shape == (1, one.num_features)


def test_load_gives_back_a_gammatonegram_of_each_channel_and_reads_earlier_files(tmp_path):
    each, alone = stereo_gammatonegrams(2)
    write(tmp_path / "each.npz", _io.fields_of(each))
    loaded = tavik.load(tmp_path / "each.npz")
    assert loaded.channel == "each" and loaded.features.tobytes() == each.features.tobytes()
    assert repr(loaded.filterbank(channel=1)) == repr(alone[1].filterbank())
    # Files written before channel="each" hold an integer channel and 2-D features.
    earlier = {**_io.fields_of(alone[1]), "channel": np.int64(1)}
    write(tmp_path / "earlier.npz", earlier)
    assert tavik.load(tmp_path / "earlier.npz").channel == 1
    for change, message in [({"channel": "all"}, "channel must be an integer or 'each', not 'all'"),
                            ({"features": each.features[:, 0]},
                             "features must be a 3-D float64 or float32 array")]:
        write(tmp_path / "bad.npz", {**_io.fields_of(each), **change})
        with pytest.raises(ValueError, match=f"bad.npz is not a gammatonegram: {message}"):
            tavik.load(tmp_path / "bad.npz")


def test_plot_draws_a_panel_per_channel_on_one_scale_or_the_first_into_an_axes():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    each, alone = stereo_gammatonegrams()
    ax = tavik.plot(each)
    panels = ax.figure.axes[:3]
    assert [p.get_ylabel().splitlines()[0] for p in panels] == ["channel 0", "channel 1",
                                                                "channel 2"]
    meshes = [p.collections[0] for p in panels]
    assert len({m.get_clim() for m in meshes}) == 1  # one scale of colours
    # Each panel is the channel's own picture.
    single = tavik.plot(alone[1], top_dB=1000)
    each_wide = tavik.plot(each, top_dB=1000)
    assert np.array_equal(each_wide.figure.axes[1].collections[0].get_array(),
                          single.collections[0].get_array())
    figure, given = plt.subplots()
    assert tavik.plot(each, given) is given and len(figure.axes) == 2  # the axes and its bar
    assert given.get_ylabel().startswith("channel 0 of 3")
    plt.close("all")


def test_load_refuses_other_files(tmp_path):
    np.save(tmp_path / "array.npy", np.zeros(3))
    np.savez(tmp_path / "other.npz", features=np.zeros((2, 2)))
    g = noise_gammatonegram(seconds=0.1)
    np.savez(tmp_path / "objects.npz", **_io.fields_of(g), x=np.array([{}], dtype=object))
    (tmp_path / "text.npz").write_text("features")
    (tmp_path / "empty.npz").write_bytes(b"")
    (tmp_path / "truncated.npz").write_bytes((tmp_path / "other.npz").read_bytes()[:100])
    write(tmp_path / "scalar.npz", {**_io.fields_of(g), "features": 1.0})
    for name, message in [("array.npy", "not a .npz archive of a gammatonegram but a .npy array"),
                          ("other.npz", "it lacks the fields centre_frequencies, times, sample_rate"),
                          ("objects.npz", "its member x.npy declares objects"),
                          ("text.npz", "not a .npz archive"), ("empty.npz", "not a .npz archive"),
                          ("truncated.npz", "not a .npz archive"),
                          ("scalar.npz", "its features is not an array")]:
        with pytest.raises(ValueError, match=message):
            tavik.load(tmp_path / name)
    with pytest.raises(FileNotFoundError):
        tavik.load(tmp_path / "missing.npz")


def archive(path, fields, compression=zipfile.ZIP_STORED):
    """An .npz as np.savez or np.savez_compressed writes it."""
    with zipfile.ZipFile(path, "w", compression=compression) as zipped:
        for key, value in fields.items():
            with zipped.open(f"{key}.npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.asanyarray(value), allow_pickle=False)


def bomb(path, fields, mebibytes):
    """A gammatonegram with extra members of so many MiB of zeros each,
    deflated to about a thousandth."""
    archive(path, fields)
    with zipfile.ZipFile(path, "a", compression=zipfile.ZIP_DEFLATED) as zipped:
        for k, size in enumerate(mebibytes):
            with zipped.open(f"zeros{k}.npy", "w", force_zip64=True) as member:
                np.lib.format.write_array_header_1_0(
                    member, {"descr": "<f8", "fortran_order": False, "shape": (size << 17,)})
                for _ in range(size):
                    member.write(bytes(1 << 20))


def damaged(kind, path):
    g = noise_gammatonegram(seconds=0.1, num_features=8)
    fields = _io.fields_of(g)
    frames = len(g.times)
    replaced = {
        "features of strings": {"features": np.full((frames, 8), "x")},
        "1-D features": {"features": g.features[:, 0]},
        "3-D features": {"features": g.features[None]},
        "complex features": {"features": g.features.astype(complex)},
        "columns that are not num_features": {"num_features": 9},
        "times of the wrong length": {"times": g.times[:-1]},
        "a sample_rate of 'abc'": {"sample_rate": "abc"},
        "a sample_rate of 16000.5": {"sample_rate": 16000.5},
        "a low_Hz of text": {"low_Hz": "50"},
        "a channel of 1.5": {"channel": 1.5},
        "a mode of bytes": {"mode": b"frames"},
        "a transform that is a number": {"transform": 3.0},
        "centre frequencies of another count": {"centre_frequencies": g.centre_frequencies[:3]},
        "a sample_rate of 2**31": {"sample_rate": 2**31},
        "a sample_rate of 2**64 - 1": {"sample_rate": np.uint64(2**64 - 1)},
        "a channel of -2**63": {"channel": np.int64(-2**63)},
        "a low_Hz of nan": {"low_Hz": np.nan},
        "a temporal_integration of -1": {"temporal_integration": -1.0},
        "an infinite temporal_integration": {"temporal_integration": np.inf},
        "a nan time": {"times": np.where(np.arange(frames) == 3, np.nan, g.times)},
        "times that decrease": {"times": g.times[::-1].copy()},
        "an infinite centre frequency": {
            "centre_frequencies": np.where(np.arange(8) == 7, np.inf, g.centre_frequencies)},
    }
    if kind in replaced:
        archive(path, {**fields, **replaced[kind]})
    elif kind == "a broken deflate stream":
        archive(path, fields, zipfile.ZIP_DEFLATED)
        data = path.read_bytes()
        middle = data.index(b"features.npy") + 200
        path.write_bytes(data[:middle] + bytes(16) + data[middle + 16:])
    elif kind == "an unknown compression method":
        archive(path, fields)
        # The method field of every header, local (at 8) and central (at 10):
        # stored (0) to 99; where a header starts, zipfile itself says.
        data = bytearray(path.read_bytes())
        with zipfile.ZipFile(path) as zipped:
            members = zipped.infolist()
            central = zipped.start_dir
        for member in members:
            data[member.header_offset + 8] = 99
        while (central := data.find(b"PK\x01\x02", central)) >= 0:
            data[central + 10] = 99
            central += 4
        path.write_bytes(bytes(data))
    elif kind == "an encrypted member":
        archive(path, fields)
        data = bytearray(path.read_bytes())
        central = data.index(b"PK\x01\x02")
        data[central + 8] |= 1  # the central directory's flag "encrypted"
        path.write_bytes(bytes(data))
    elif kind == "a member that claims more than it holds":
        archive(path, {k: v for k, v in fields.items() if k != "features"})
        with zipfile.ZipFile(path, "a") as zipped, zipped.open("features.npy", "w") as member:
            np.lib.format.write_array_header_1_0(member, {"descr": "<f8", "fortran_order": False,
                                                          "shape": (frames * 10**6, 8)})
            member.write(g.features.tobytes())
    elif kind in ("a bzip2 member of zeros that declares 200 bytes", "an LZMA member"):
        archive(path, fields)
        method = zipfile.ZIP_BZIP2 if kind.startswith("a bzip2") else zipfile.ZIP_LZMA
        with zipfile.ZipFile(path, "a", compression=method) as zipped:
            with zipped.open("zeros.npy", "w") as member:
                np.lib.format.write_array(member, np.zeros(1 << 19))  # 4 MiB
        if method == zipfile.ZIP_BZIP2:
            # Its uncompressed size, in the local header (at 22) and the
            # central one (at 24), patched to 200 bytes: inside any limit.
            data = bytearray(path.read_bytes())
            with zipfile.ZipFile(path) as zipped:
                local = zipped.getinfo("zeros.npy").header_offset
            central = data.rindex(b"PK\x01\x02")
            struct.pack_into("<I", data, local + 22, 200)
            struct.pack_into("<I", data, central + 24, 200)
            path.write_bytes(bytes(data))
    elif kind == "a member inflated out of proportion":
        bomb(path, fields, [64])
    elif kind == "members inflated out of proportion together":
        bomb(path, fields, [1, 1, 1])
    return g


DAMAGED = {
    "features of strings": "features must be a 2-D float64 or float32 array, not a 2-D <U1 array",
    "1-D features": "features must be a 2-D float64 or float32 array, not a 1-D float64 array",
    "3-D features": "features must be a 2-D float64 or float32 array, not a 3-D float64 array",
    "complex features": "features must be a 2-D float64 or float32 array, not a 2-D complex128",
    "columns that are not num_features": "features of 8 columns and 8 centre frequencies do not "
                                         "match num_features=9",
    "times of the wrong length": "times do not match the",
    "a sample_rate of 'abc'": "sample_rate must be an integer, not str 'abc'",
    "a sample_rate of 16000.5": "sample_rate must be an integer, not float 16000.5",
    "a low_Hz of text": "low_Hz must be a real number, not str '50'",
    "a channel of 1.5": "channel must be an integer or 'each', not float 1.5",
    "a mode of bytes": "its mode is b'frames'",
    "a transform that is a number": "its transform is not a name",
    "centre frequencies of another count": "8 columns and 3 centre frequencies",
    "a broken deflate stream": "not a .npz archive of a gammatonegram: (Error -3|Bad CRC)",
    "a sample_rate of 2**31": "sample_rate must be at most 2147483647, not 2147483648",
    "a sample_rate of 2**64 - 1": "sample_rate must be at most 2147483647, not 18446744073709551615",
    "a channel of -2**63": "channel must be at least -2147483648, not -9223372036854775808",
    "a low_Hz of nan": r"its parameters make no filterbank \(Invalid frequency range\)",
    "a temporal_integration of -1": r"make no filterbank \(Invalid temporal integration\)",
    "an infinite temporal_integration": r"make no filterbank \(Invalid temporal integration\)",
    "a nan time": "times must be finite$",
    "times that decrease": "times must not decrease$",
    "an infinite centre frequency": "centre_frequencies must be finite$",
    "an unknown compression method": "its member features is compressed with method 99; only "
                                     "stored and deflated members are read",
    "a bzip2 member of zeros that declares 200 bytes": "its member zeros is compressed with bzip2",
    "an LZMA member": "its member zeros is compressed with LZMA",
    "an encrypted member": "not a .npz archive of a gammatonegram: .*encrypted",
    "a member that claims more than it holds": "its member features.npy declares",
    "a member inflated out of proportion": "its member zeros0 declares 67108992 bytes, out of "
                                          "proportion",
    "members inflated out of proportion together": r"its members declare \d+ bytes, out of "
                                                   "proportion",
}


@pytest.mark.parametrize("kind", DAMAGED)
def test_load_refuses_a_damaged_or_inconsistent_file_with_a_value_error(tmp_path, kind):
    path = tmp_path / "damaged.npz"
    damaged(kind, path)
    with pytest.raises(ValueError, match="^" + re.escape(str(path)) + " is not a") as raised:
        tavik.load(path)
    assert type(raised.value) is ValueError and re.search(DAMAGED[kind], str(raised.value))


def test_float32_features_load_as_float64_and_serve_everywhere(tmp_path):
    g = noise_gammatonegram(seconds=0.2, num_features=16)
    narrow = g.features.astype(np.float32)
    archive(tmp_path / "narrow.npz", {**_io.fields_of(g), "features": narrow,
                                      "times": g.times.astype(np.float32),
                                      "centre_frequencies": g.centre_frequencies.astype(">f8")})
    loaded = tavik.load(tmp_path / "narrow.npz")
    assert loaded.features.dtype == np.float64 and (loaded.features == narrow).all()
    assert loaded.centre_frequencies.dtype == np.float64
    assert (loaded.centre_frequencies == g.centre_frequencies).all()
    assert tavik.gfcc(loaded).tobytes() == tavik.gfcc(narrow.astype(np.float64)).tobytes()
    assert tavik.gfcc(narrow).tobytes() == tavik.gfcc(loaded).tobytes()
    assert tavik.deltas(narrow).tobytes() == tavik.deltas(loaded).tobytes()
    pytest.importorskip("matplotlib")
    import matplotlib
    matplotlib.use("Agg")
    assert tavik.plot(loaded) is not None


def test_a_compressed_archive_loads_like_a_stored_one(tmp_path):
    g = noise_gammatonegram(seconds=0.2, num_features=16)
    archive(tmp_path / "small.npz", {**_io.fields_of(g), "note": "kept"}, zipfile.ZIP_DEFLATED)
    loaded = tavik.load(tmp_path / "small.npz")
    assert loaded.features.tobytes() == g.features.tobytes() and loaded.extra == {"note": "kept"}
