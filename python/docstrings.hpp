// The docstrings of the module _tavik, its submodules, classes, methods and
// properties, in numpydoc form: their one source. The bindings pass them to
// pybind11; the stubs (python/_tavik-stubs) are generated from the built
// module (`make stubs`), and the API pages of the documentation render them.
//
// A class's docstring describes its constructor's parameters too, as
// numpydoc has it; the constructor's own docstring points there. Of an
// overloaded method, the last overload holds the sections for all of them.
#pragma once

namespace tavik::python::docstrings {

// The module's own docstring, kept as it always was.
inline constexpr const char* module_doc = "\n        Tavik library \n    ";

inline constexpr const char* kernel_choice = R"doc(The lock-step kernel variant that the filterbanks of this process use.

On first use, the dispatch times the AVX2 and AVX-512 kernels that this
CPU supports, each with one or more vectors of filters in flight, and keeps
the fastest; without them it uses the ``baseline`` kernel (2 lanes, any
CPU). ``scalar`` is the reference, one filter at a time. Every variant gives
the same bits. The environment variable ``TAVIK_KERNEL``, read on first
use, forces a variant by name, for bug reports and benchmarks.

Returns
-------
variant : str
    The variant in use, for instance ``"avx2_x2"``.
candidates : dict of str to float or None
    The seconds of the fastest timed round of each variant that was timed;
    None for a sole candidate, which is not timed; empty when forced.
forced : bool
    Whether ``TAVIK_KERNEL`` named the variant.

Raises
------
ValueError
    If ``TAVIK_KERNEL`` names no variant that this CPU supports (every
    filterbank call raises it too).

Examples
--------
>>> import tavik
>>> variant, candidates, forced = tavik.kernel_choice()
>>> variant in candidates or forced
True)doc";

inline constexpr const char* frequency_range_warning = R"doc(A filterbank centred beyond the frequencies the signal holds.

Warned when ``high_Hz`` is above the Nyquist frequency (``sample_rate / 2``),
where the filters centred above it alias, or ``low_Hz`` is below 0 Hz. The
filterbank is built all the same; where warnings are errors, the warning is
raised and nothing is built.)doc";

inline constexpr const char* extractor_module = R"doc(Frame-to-features extractors.

Every extractor is immutable: its parameters are set by the constructor and
read back through read-only properties.)doc";

inline constexpr const char* extractor_class = R"doc(Features of fixed-length audio frames, computed by a Python subclass.

An extractor maps a frame of ``num_samples`` samples to ``num_features``
features, each passed through ``transform``. ``Extractor`` itself computes
nothing: a Python subclass supplies ``compute(input, features)``, called
with the frame as a list of floats and a list of ``num_features`` zeros,
which either fills ``features`` in place and returns None, or returns a
sequence of ``num_features`` numbers. :class:`GammatoneFilterbank` is the
native extractor. Subclasses pickle with their instance dictionary; in
``batch`` their ``compute`` runs frame by frame on the calling thread.

Parameters
----------
num_samples : int, default 1024
    The length of a frame, in samples.
num_features : int, default 64
    The number of features of a frame.
sample_rate : int, default 44100
    Samples per second of the frames, for the subclass's use.
transform : callable or None, default transforms.identity()
    Applied to every feature: a native transform of :mod:`tavik.transforms`
    runs without entering the interpreter, any other callable from float
    to float is called once per feature. None stores no transform: the
    first frame that yields a feature then raises RuntimeError.
on_channel : int, default -1
    Of a frame given as a (channels, ``num_samples``) array, the row to
    use; negative: the mean of all rows.

Raises
------
TypeError
    If an argument is not of its type: a count that is not an int (a
    float, or a negative or out-of-range int), a ``transform`` that is not
    callable, an unknown keyword.

Examples
--------
>>> import tavik
>>> class RMS(tavik.Extractor):
...     def compute(self, input, features):
...         mean_square = sum(x * x for x in input) / len(input)
...         features[0] = mean_square ** 0.5
>>> rms = RMS(num_samples=4, num_features=1,
...           sample_rate=16000)
>>> rms([1.0, -1.0, 1.0, -1.0])
[1.0]
>>> rms
RMS(num_samples=4, num_features=1, sample_rate=16000, transform=identity(), on_channel=-1))doc";

inline constexpr const char* extractor_init = R"doc(Builds the extractor; the class's docstring describes the parameters.)doc";

inline constexpr const char* extractor_call_sequence = R"doc(Features of one frame given as a sequence of ``num_samples`` floats: a
list, a tuple, a 1-D float64 array, ``array.array('d')``, ...)doc";

inline constexpr const char* extractor_call_matrix = R"doc(Features of one frame given as a column-major float64 array of shape
(channels, ``num_samples``), reduced to one channel by ``on_channel``.

Parameters
----------
input : sequence of float or numpy.ndarray
    The frame: ``num_samples`` floats (every item a float; an int item is
    refused), or a Fortran-ordered float64 array of shape (channels,
    ``num_samples``).

Returns
-------
list of float
    The ``num_features`` features, each passed through ``transform``.

Raises
------
ValueError
    If the frame's length is not ``num_samples``, or the array has no
    rows.
IndexError
    If ``on_channel`` is a row that the array lacks.
TypeError
    If the frame is of neither form (an int item, a float32 or row-major
    array, ``str``, ...).

Examples
--------
>>> import numpy as np
>>> import tavik
>>> fb = tavik.GammatoneFilterbank(
...     num_samples=400, num_features=4, sample_rate=16000)
>>> t = np.arange(400) / 16000
>>> frame = np.sin(2 * np.pi * 1000 * t)
>>> len(fb(frame))
4
>>> stereo = np.asfortranarray([frame, frame])
>>> fb(stereo) == fb(frame)
True)doc";

inline constexpr const char* extractor_batch = R"doc(Features of every frame of an array, on several threads.

Threads run native code only, with the interpreter lock released, and the
calling thread runs the Python signal handlers about every 20 ms, so that
Ctrl-C stops the batch: the workers stop, are joined, and the handler's
exception is raised. Python code runs on the calling thread: a Python
transform is applied after the native work, row after row, and a Python
``compute`` runs frame by frame there.

Parameters
----------
frames : numpy.ndarray
    float64 or float32 samples (float32 converted exactly), of shape
    (n, ``num_samples``) with contiguous rows (any row stride: a
    sliding-window view is read in place), or of shape (n, channels,
    ``num_samples``) with any strides, each frame reduced to one channel
    by ``on_channel``.
num_threads : int, default 0
    Threads for the native work; 0 uses every available core. At most 4
    threads per available core, and one per frame, are started.

Returns
-------
numpy.ndarray
    A float64 array of shape (n, ``num_features``): row i is what calling
    the extractor on frame i gives, bit for bit.

Raises
------
TypeError
    If ``frames`` is not such an array.
ValueError
    If a frame's length is not ``num_samples``, the frames have no
    channels (shape (n, 0, ``num_samples``), whatever ``on_channel``), or
    ``num_threads`` is negative.
IndexError
    If ``on_channel`` is a channel that the frames lack.
MemoryError
    If the result does not fit in memory.

Examples
--------
>>> import numpy as np
>>> import tavik
>>> fb = tavik.GammatoneFilterbank(
...     num_samples=400, num_features=4, sample_rate=16000)
>>> rng = np.random.default_rng(0)
>>> frames = rng.standard_normal((10, 400))
>>> features = fb.batch(frames)
>>> features.shape
(10, 4)
>>> features[3].tolist() == fb(frames[3])
True)doc";

inline constexpr const char* extractor_num_samples = R"doc(The length of a frame, in samples.)doc";
inline constexpr const char* extractor_num_features = R"doc(The number of features of a frame.)doc";
inline constexpr const char* extractor_sample_rate = R"doc(The sample rate, in hertz.)doc";
inline constexpr const char* extractor_transform = R"doc(The transform applied to every feature.

A new, equal instance on every read for a native transform of
:mod:`tavik.transforms` (the filterbank's default reads as
``log10(floor=0.0)``, ``Extractor``'s as ``identity()``), None, or the
Python callable that was given, itself.)doc";
inline constexpr const char* extractor_on_channel = R"doc(The row of a 2-D input to use; negative: the mean of all rows.)doc";
inline constexpr const char* extractor_repr = R"doc(The class's name and the constructor arguments, by name.)doc";
inline constexpr const char* getstate = R"doc(The constructor arguments, then the instance dictionary.)doc";
inline constexpr const char* setstate = R"doc(Builds the object from a state that ``__getstate__`` gave.)doc";
inline constexpr const char* reduce_ex = R"doc(The same reduction for every pickle protocol.)doc";

inline constexpr const char* filterbank_class = R"doc(A bank of gammatone filters: one level per filter of every frame.

Fourth-order gammatone band-pass filters, their centre frequencies evenly
spaced on the ERB-rate scale (:func:`tavik.hz_to_erb_rate`) from ``low_Hz``
to ``high_Hz``, run over each frame on its own, from silence. Feature i is
the mean over the frame of filter i's envelope, smoothed by a leaky
integrator of time constant ``temporal_integration``, passed through
``transform`` (the base-10 logarithm by default). Every product and sum
runs in a fixed order: the same frame gives the same bits on every machine,
kernel variant and thread count.

For whole signals, :func:`tavik.gammatonegram` frames the signal and runs
a filterbank over it, by default continuously (``stream_push``).

Parameters
----------
num_samples : int, default 1024
    The length of a frame, in samples.
num_features : int, default 64
    The number of filters, at least 2.
sample_rate : int, default 44100
    Samples per second of the frames.
transform : callable or None, default transforms.log10()
    Applied to every feature: by default the base-10 logarithm, applied
    without entering the interpreter, as is any native transform of
    :mod:`tavik.transforms`; any other callable from float to float is
    called once per feature. None stores no transform: the first frame
    then raises RuntimeError (:func:`tavik.gammatonegram` takes None for
    the raw levels).
on_channel : int, default -1
    Of a multichannel frame, the channel to use; negative: the mean of
    all channels.
low_Hz, high_Hz : float, default 50 and 8000
    The centre frequencies of the lowest and the highest filter, in hertz.
temporal_integration : float, default 0
    The time constant in seconds of the leaky integrator that smooths
    each envelope (0: no smoothing).

Raises
------
ValueError
    If ``sample_rate`` is not positive, ``temporal_integration`` is
    negative or not finite, or the frequency range is invalid (``low_Hz``
    not below ``high_Hz``, a bound that is not finite, fewer than 2
    filters).
TypeError
    If an argument is not of its type: a count that is not an int (a
    float, or a negative or out-of-range int), a ``transform`` that is not
    callable, an unknown keyword.

Warns
-----
FrequencyRangeWarning
    If ``high_Hz`` is above ``sample_rate / 2`` or ``low_Hz`` below 0; the
    filterbank is built all the same.

Examples
--------
>>> import numpy as np
>>> import tavik
>>> fb = tavik.GammatoneFilterbank(
...     num_samples=400, num_features=4, sample_rate=16000,
...     low_Hz=100, high_Hz=4000)
>>> fb.centre_frequencies.round(1)
array([ 100. ,  541.6, 1576.1, 4000. ])
>>> t = np.arange(400) / 16000
>>> frame = np.sin(2 * np.pi * 1000 * t)
>>> np.round(fb(frame), 3)
array([-1.977, -1.728, -1.724, -2.739])
>>> fb
GammatoneFilterbank(num_samples=400, num_features=4, sample_rate=16000, transform=log10(floor=0.0), on_channel=-1, low_Hz=100.0, high_Hz=4000.0, temporal_integration=0.0))doc";

inline constexpr const char* filterbank_init = R"doc(Designs the filters; the class's docstring describes the parameters.)doc";

inline constexpr const char* filterbank_filters = R"doc(The filters in ascending centre frequency, a new list on every read.

Each element refers to the filterbank's own record, and keeps the
filterbank alive.)doc";
inline constexpr const char* filterbank_centre_frequencies = R"doc(The filters' centre frequencies in hertz, ascending.

A new float64 array on every read: writing to it leaves the filterbank as
it was.)doc";
inline constexpr const char* filterbank_low_Hz = R"doc(The centre frequency of the lowest filter, in hertz, as given.)doc";
inline constexpr const char* filterbank_high_Hz = R"doc(The centre frequency of the highest filter, in hertz, as given.)doc";
inline constexpr const char* filterbank_temporal_integration = R"doc(The time constant of the envelope's smoothing, in seconds, as given.)doc";

inline constexpr const char* filterbank_stream_state = R"doc(The state of a continuous pass before its first sample.

Parameters
----------
hop : int
    The samples between the starts of consecutive frames, at least 1.

Returns
-------
numpy.ndarray
    A 1-D float64 array, the ``state`` of the first ``stream_push``. Its
    last values record the pass it belongs to (a fingerprint of the hop,
    the frame length and the filters) and the samples pushed.

Raises
------
ValueError
    If ``hop`` is 0, or the state of frames of ``num_samples`` every
    ``hop`` samples is too large to be counted ("The state of this
    continuous pass does not fit in memory").

See Also
--------
stream_push : The pass itself.)doc";

inline constexpr const char* filterbank_stream_push = R"doc(One push of a continuous pass over a signal that arrives in chunks.

Every filter runs once through the whole signal, its state carried from
push to push, and frame j (samples ``j * hop`` to
``j * hop + num_samples - 1`` of the whole signal) reports the mean of its
smoothed envelope over the frame. The features do not depend on how the
signal is cut into pushes. A sample that is not finite would stay in the
filters' state and spoil every later frame, so it is refused. The state is
the caller's: a push never writes the given one, so a push that fails or is
stopped leaves it as it was.
:class:`tavik.GammatoneStream` keeps it for you. The interpreter lock is
released and Ctrl-C handled as in ``batch``.

Parameters
----------
samples : numpy.ndarray
    The next samples, float64 or float32, of shape (n,) or (n, channels)
    with any strides, reduced per sample to one channel by
    ``on_channel``.
hop : int
    The samples between the starts of consecutive frames, the same in
    every push.
state : numpy.ndarray
    What the previous push returned; ``stream_state(hop)`` at first. It
    belongs to this filterbank's filters, frame length and ``hop`` (an
    equal filterbank, such as an unpickled copy, will do).
samples_pushed : int
    The samples pushed before these, as the state records them; 0 at
    first.
num_threads : int, default 0
    Threads to split the filters over; 0 uses every available core.

Returns
-------
features : numpy.ndarray
    The features of the frames that this push completes, a float64 array
    of shape (k, ``num_features``).
state : numpy.ndarray
    The state after this push, a new array for the next push.

Raises
------
TypeError
    If ``samples`` is not such an array, or ``state`` is not a float64
    array.
ValueError
    If ``state`` does not belong to a pass of this filterbank and ``hop``
    ("state does not belong to a pass of this filterbank and hop"),
    ``samples_pushed`` is not the count it records, a sample that enters
    the features (of every channel, or of ``on_channel``) is NaN or
    infinite ("The signal holds a non-finite sample (nan) at sample 5000",
    the first one, counted from the start of the whole signal, with
    " of channel 1" when the samples have several channels), the samples
    have no channels, or ``num_threads`` is negative.
IndexError
    If ``on_channel`` is a channel that the samples lack.

Examples
--------
>>> import numpy as np
>>> import tavik
>>> fb = tavik.GammatoneFilterbank(
...     num_samples=400, num_features=4, sample_rate=16000)
>>> signal = np.random.default_rng(0).standard_normal(16000)
>>> hop = 160
>>> state, pushed, parts = fb.stream_state(hop), 0, []
>>> for chunk in np.array_split(signal, 7):
...     rows, state = fb.stream_push(chunk, hop, state, pushed)
...     pushed += len(chunk)
...     parts.append(rows)
>>> first = fb.stream_state(hop)
>>> whole, _ = fb.stream_push(signal, hop, first, 0)
>>> whole.shape
(98, 4)
>>> np.array_equal(np.concatenate(parts), whole)
True)doc";

inline constexpr const char* filterbank_bands_state = R"doc(The state of a band pass before its first sample.

Parameters
----------
output : {"envelope", "analytic", "real"}, default "envelope"
    What the pass gives for every sample of every filter (see
    ``bands_push``).

Returns
-------
numpy.ndarray
    A 1-D float64 array, the ``state`` of the first ``bands_push`` of that
    output. Its last values record the pass it belongs to (a fingerprint of
    the filters and the output) and the samples pushed.

Raises
------
ValueError
    If ``output`` is not one of the three ("output must be 'envelope',
    'analytic' or 'real', not 'phase'").

See Also
--------
bands_push : The pass itself.)doc";

inline constexpr const char* filterbank_bands_push = R"doc(One push of a band pass over a signal that arrives in chunks.

Every filter runs once through the whole signal, its state carried from
push to push as in ``stream_push``, and every sample of every filter is
returned instead of a mean over frames; the values do not depend on how
the signal is cut into pushes. With the filter's two-zero section output
(yr, yi) at a sample, its gain, and the phasor (c, s) that shifted the
sample down to the filter's baseband, each product and sum rounded on its
own in this order:

- ``"envelope"``: gain * sqrt(yr**2 + yi**2), float64; the value that the
  features' integrator takes.
- ``"analytic"``: gain * (yr*c + yi*s) + 1j * gain * (yi*c - yr*s),
  complex128; the band's analytic signal at its centre frequency, whose
  real part is the band-pass output and whose angle is the instantaneous
  phase.
- ``"real"``: that real part alone, float64.

The filterbank's frame length, transform and temporal integration play no
part. A sample that is not finite or too large is refused as in
``stream_push``. The state is the caller's: a push never writes the given
one. The interpreter lock is released and Ctrl-C handled as in ``batch``.

Parameters
----------
samples : numpy.ndarray
    The next samples, float64 or float32, of shape (n,) or (n, channels)
    with any strides, reduced per sample to one channel by
    ``on_channel``.
output : {"envelope", "analytic", "real"}
    The same in every push.
state : numpy.ndarray
    What the previous push returned; ``bands_state(output)`` at first.
samples_pushed : int
    The samples pushed before these, as the state records them; 0 at
    first.
num_threads : int, default 0
    Threads to split the filters over; 0 uses every available core.

Returns
-------
bands : numpy.ndarray
    Shape (n, ``num_features``): row i holds sample i of every filter,
    float64 (complex128 for ``"analytic"``). 64 filters of 10 minutes at
    48 kHz are 14.7 GB of float64: push long signals in chunks.
state : numpy.ndarray
    The state after this push, a new array for the next push.

Raises
------
TypeError
    If ``samples`` is not such an array, or ``state`` is not a float64
    array.
ValueError
    If ``output`` is not one of the three, ``state`` does not belong to a
    band pass of this filterbank and output ("state does not belong to a
    band pass of this filterbank and output"), ``samples_pushed`` is not
    the count it records, a sample that enters the bands is NaN, infinite
    or of magnitude above 2**64 (the message of ``stream_push``), the
    samples have no channels, or ``num_threads`` is negative.
IndexError
    If ``on_channel`` is a channel that the samples lack.
MemoryError
    If the bands do not fit in memory.

Examples
--------
>>> import numpy as np
>>> import tavik
>>> fb = tavik.GammatoneFilterbank(num_features=4, sample_rate=16000)
>>> signal = np.random.default_rng(0).standard_normal(1000)
>>> state, pushed, parts = fb.bands_state("analytic"), 0, []
>>> for chunk in np.array_split(signal, 3):
...     rows, state = fb.bands_push(chunk, "analytic", state, pushed)
...     pushed += len(chunk)
...     parts.append(rows)
>>> whole, _ = fb.bands_push(signal, "analytic", fb.bands_state("analytic"), 0)
>>> whole.shape, whole.dtype
((1000, 4), dtype('complex128'))
>>> np.array_equal(np.concatenate(parts), whole)
True)doc";

inline constexpr const char* filter_class = R"doc(One designed filter of a filterbank.

Its centre frequency, the coefficients of its recursion and its gain, read
from :attr:`GammatoneFilterbank.filters`.

Parameters
----------
cf : float
    The centre frequency, in hertz.
coscf, sincf : float
    The cosine and sine of the phase advance per sample at ``cf``.
gain : float
    The gain of the filter.
a : sequence of float
    The five recursion coefficients.

Raises
------
TypeError
    If ``a`` does not hold exactly five numbers.)doc";
inline constexpr const char* filter_init = R"doc(Builds the record; the class's docstring describes the parameters.)doc";
inline constexpr const char* filter_cf = R"doc(The centre frequency, in hertz.)doc";
inline constexpr const char* filter_gain = R"doc(The gain of the filter.)doc";
inline constexpr const char* filter_a = R"doc(The five recursion coefficients, a new list on every read.)doc";

inline constexpr const char* transforms_module = R"doc(Native transforms, for the ``transform`` of an extractor.

They are applied without entering the interpreter, so ``batch`` scales with
threads as with the default. Each is a callable from float to float that
pickles, compares equal by its parameters and shows them in its repr.)doc";

inline constexpr const char* identity_class = R"doc(Every feature unchanged: the default transform of :class:`Extractor`.

Examples
--------
>>> from tavik import transforms
>>> transforms.identity()(2.5)
2.5)doc";
inline constexpr const char* identity_init = R"doc(The identity has no parameter.)doc";
inline constexpr const char* transform_call = R"doc(The transform of one value.)doc";
inline constexpr const char* transform_repr = R"doc(The class's name with its parameters.)doc";
inline constexpr const char* transform_eq = R"doc(Equal to a transform of the same class with equal parameters.)doc";
inline constexpr const char* transform_hash = R"doc(Equal transforms hash alike.)doc";
inline constexpr const char* transform_reduce = R"doc(Pickled as the class and its parameters.)doc";

inline constexpr const char* log10_class = R"doc(The base-10 logarithm, with a floor on silence.

A feature in [0, ``floor``) is raised to ``floor`` first, so that silence
gives ``log10(floor)`` rather than -inf; a negative feature gives NaN.
``log10()`` is the filterbank's default transform, the C library's log10
bit for bit; ``tavik.LOG10``, the default of ``tavik.gammatonegram``, is
``log10(floor=1e-10)``, a floor of -200 dB.

Parameters
----------
floor : float, default 0.0
    The least feature taken as it is (0: no floor, silence gives -inf).

Raises
------
ValueError
    If ``floor`` is NaN.

Examples
--------
>>> import tavik
>>> from tavik import transforms
>>> transforms.log10()(100.0)
2.0
>>> transforms.log10(floor=1e-10)(0.0)
-10.0
>>> tavik.LOG10
log10(floor=1e-10))doc";
inline constexpr const char* log10_init = R"doc(Builds the transform; the class's docstring describes the parameter.)doc";
inline constexpr const char* log10_floor = R"doc(The floor, as given.)doc";

inline constexpr const char* dB_class = R"doc(The level in decibels of a feature taken as an amplitude.

``20 * log10(x)``, never below ``floor_dB``. NaN, also the level of a
negative feature, stays NaN.

Parameters
----------
floor_dB : float, default -inf
    The least level given (-inf: no floor).

Raises
------
ValueError
    If ``floor_dB`` is NaN.

Examples
--------
>>> from tavik import transforms
>>> transforms.dB()(0.1)
-20.0
>>> transforms.dB(floor_dB=-100)(0.0)
-100.0)doc";
inline constexpr const char* dB_init = R"doc(Builds the transform; the class's docstring describes the parameter.)doc";
inline constexpr const char* dB_floor_dB = R"doc(The floor in decibels, as given.)doc";

inline constexpr const char* power_class = R"doc(A feature raised to a fixed exponent.

For instance ``power(1 / 3)``, the cube-root compression of auditory
front ends.

Parameters
----------
exponent : float
    The exponent.

Raises
------
ValueError
    If ``exponent`` is NaN.

Examples
--------
>>> from tavik import transforms
>>> transforms.power(1 / 3)(8.0)
2.0)doc";
inline constexpr const char* power_init = R"doc(Builds the transform; the class's docstring describes the parameter.)doc";
inline constexpr const char* power_exponent = R"doc(The exponent, as given.)doc";

inline constexpr const char* cepstra_module = R"doc(Cepstral coefficients of filterbank features, in a fixed operation order.)doc";

inline constexpr const char* dct_rows = R"doc(The first ``num_ceps`` coefficients of the orthonormal DCT-II of every row.

Coefficient k of a row x of n values is
``scale_k * sum(x[i] * cos(pi * k * (2i + 1) / (2n)))``, with
``scale_0 = sqrt(1/n)`` and ``sqrt(2/n)`` otherwise, summed from 0.0 in
increasing i. The cosines use only the basic floating-point operations, so
the result has the same bits on every machine. :func:`tavik.gfcc` checks
and converts its arguments, then calls this.

Parameters
----------
features : numpy.ndarray
    A C-contiguous 2-D float64 array of shape (frames, n).
num_ceps : int
    How many coefficients to keep, from 1 to n.

Returns
-------
numpy.ndarray
    A float64 array of shape (frames, num_ceps).

Raises
------
TypeError
    If ``features`` is not a C-contiguous 2-D float64 array.
ValueError
    If ``num_ceps`` is not between 1 and n, or n is 0.)doc";

}  // namespace tavik::python::docstrings
