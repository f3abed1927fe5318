import array

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

from _tavik.extractor import Extractor, GammatoneFilterbank
from _tavik.transforms import log10


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


@pytest.fixture(scope="module")
def signal():
    return np.random.default_rng(5).standard_normal(8 * 1024)


@pytest.fixture(scope="module")
def fb():
    return GammatoneFilterbank(num_features=16, temporal_integration=0.002)


def per_frame(extractor, frames):
    return np.array([extractor(list(row)) for row in frames]).reshape(len(frames), extractor.num_features)


class TestZeroCopyFrames:
    def test_buffers_of_doubles_match_the_item_wise_path(self, fb, signal):
        x = signal[:1024]
        expected = bits(fb(list(x)))
        for frame in (x, x.copy(), array.array("d", x), memoryview(np.ascontiguousarray(x))):
            assert (bits(fb(frame)) == expected).all()

    def test_strided_reversed_and_foreign_byte_order(self, fb, signal):
        for frame in (signal[:2048:2], signal[1023::-1], signal[:1024].astype(">f8")):
            assert (bits(fb(frame)) == bits(fb([float(v) for v in frame]))).all()

    def test_acceptance_rules_unchanged(self, fb):
        with pytest.raises(TypeError):
            fb(np.zeros(1024, dtype=np.float32))
        singles = array.array("f", [0.25] * 1024)  # items are Python floats: item-wise path
        assert fb(singles) == fb([0.25] * 1024)
        with pytest.raises(TypeError):
            fb(bytes(8 * 1024))
        with pytest.raises(ValueError, match="of length 1024. Instead it is of length 3."):
            fb(array.array("d", [0.0] * 3))


class TestBatch:
    @pytest.mark.parametrize("threads", [1, 2, 5, 0])
    def test_sliding_windows_in_place(self, fb, signal, threads):
        frames = sliding_window_view(signal, 1024)[::300]
        assert not frames.flags.owndata and frames.strides == (2400, 8)
        out = fb.batch(frames, num_threads=threads)
        assert out.shape == (len(frames), 16) and out.dtype == np.float64
        assert (bits(out) == bits(per_frame(fb, frames))).all()

    def test_other_row_layouts(self, fb, signal):
        frames = signal.reshape(8, 1024)
        expected = bits(per_frame(fb, frames))
        for layout in (frames, frames.copy(order="C"), frames[::-1][::-1], np.asarray(frames)[::1]):
            assert (bits(fb.batch(layout)) == expected).all()
        assert (bits(fb.batch(frames[::-2])) == bits(per_frame(fb, frames[::-2]))).all()
        assert (bits(fb.batch(np.broadcast_to(frames[0], (3, 1024)))) == expected[[0, 0, 0]]).all()

    def test_empty_batch(self, fb):
        out = fb.batch(np.zeros((0, 1024)))
        assert out.shape == (0, 16)

    @pytest.mark.parametrize(
        "frames",
        [
            np.zeros((4, 1024), dtype=np.float16),
            np.zeros((4, 1024), dtype=">f4"),
            np.zeros((1024, 4)).T,
            np.zeros(1024),
            np.zeros((2, 2, 2, 1024)),
            [[0.0] * 1024],
            None,
        ],
        ids=["float16", "big-endian", "column-major", "1d", "4d", "list", "none"],
    )
    def test_refused_layouts(self, fb, frames):
        with pytest.raises(TypeError, match="float64 or float32 NumPy array"):
            fb.batch(frames)

    @pytest.mark.parametrize("threads", [1, 2])
    def test_float32_frames_match_their_float64_copy(self, fb, signal, threads):
        frames = sliding_window_view(signal.astype(np.float32), 1024)[::300]
        assert (bits(fb.batch(frames, num_threads=threads)) == bits(fb.batch(frames.astype(np.float64)))).all()

    @pytest.mark.parametrize("transform", [log10(), lambda v: v * 3.0 - 1.0], ids=["native", "python"])
    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    @pytest.mark.parametrize("on_channel", [-1, 0, 2])
    def test_channel_frames_match_the_matrix_path(self, signal, dtype, on_channel, transform):
        # A Python transform is applied after the native work: the same bits.
        fb = GammatoneFilterbank(num_features=16, on_channel=on_channel, transform=transform)
        interleaved = signal[: 3 * 2700].reshape(-1, 3).astype(dtype)  # (samples, channels)
        frames = sliding_window_view(interleaved, 1024, axis=0)[::500]  # (n, channels, 1024), read in place
        expected = [fb(np.asfortranarray(frame, dtype=np.float64)) for frame in frames]
        assert (bits(fb.batch(frames, num_threads=2)) == bits(expected)).all()
        if on_channel == 2:
            with pytest.raises(IndexError, match="Channel 2 is out of range for an input of 2 channels"):
                fb.batch(frames[:, :2])

    def test_wrong_width_and_thread_count(self, fb):
        with pytest.raises(ValueError, match=r"^Input signal must be of length 1024\. Instead it is of length 5\.$"):
            fb.batch(np.zeros((3, 5)))
        with pytest.raises(ValueError, match="num_threads"):
            fb.batch(np.zeros((3, 1024)), num_threads=-1)

    @pytest.mark.parametrize("threads", [1, 2, 4])
    def test_python_compute_and_transform(self, threads):
        class Sums(Extractor):
            def compute(self, input, features):
                features[0] = sum(input)
                features[1] = max(input)

        e = Sums(num_samples=3, num_features=2, transform=lambda v: v * 2)
        frames = np.arange(60.0).reshape(20, 3)
        assert (bits(e.batch(frames, num_threads=threads)) == bits(per_frame(e, frames))).all()

    @pytest.mark.parametrize("threads", [1, 2, 8])
    def test_lowest_failing_frame_is_raised(self, threads):
        class Picky(Extractor):
            def compute(self, input, features):
                if input[0] in (13.0, 14.0, 60.0):
                    raise KeyError(f"frame {int(input[0])}")
                features[0] = input[0]

        e = Picky(num_samples=1, num_features=1)
        with pytest.raises(KeyError, match="frame 13"):
            e.batch(np.arange(100.0).reshape(100, 1), num_threads=threads)

    def test_native_failure_after_join(self):
        e = GammatoneFilterbank(num_samples=4, num_features=3, transform=None)
        with pytest.raises(RuntimeError, match="bad_function_call"):
            e.batch(np.zeros((10, 4)), num_threads=2)

    def test_inherited_and_pure_virtual(self):
        assert GammatoneFilterbank.batch is Extractor.batch
        with pytest.raises(RuntimeError, match="pure virtual"):
            Extractor(num_samples=2).batch(np.zeros((2, 2)))
