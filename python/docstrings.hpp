// The run-time docstrings of the module, its classes, methods and
// properties: the words of the stubs (python/_tavik-stubs), whose docstrings
// are the source. tests/test_docstrings.py checks that every docstring here
// equals its stub's, so an edit to either shows up as a failing test.
#pragma once

namespace tavik::extractor::docstrings {

inline constexpr const char* module_doc = "\n        Tavik library \n    ";
inline constexpr const char* kernel_choice = R"doc(The lock-step kernel variant that the filterbanks of this process use,
as ``(variant, candidates, forced)``: ``candidates`` maps each variant that
was timed on first use to the seconds of its fastest round (None for a sole
candidate, which is not timed; empty when forced), and ``forced`` tells
whether the environment variable ``TAVIK_KERNEL`` named the variant. Every
variant gives the same bits. A ``TAVIK_KERNEL`` that names no variant this
CPU supports raises ValueError here and in every filterbank call.)doc";
inline constexpr const char* frequency_range_warning = R"doc(A filterbank whose filters would be centred above the Nyquist frequency
(``high_Hz`` above ``sample_rate / 2``) or below 0 Hz (``low_Hz`` below 0).
The filterbank is built all the same.)doc";
inline constexpr const char* extractor_module = R"doc(Frame-to-features extractors.

Every extractor is immutable: its parameters are set by the constructor and
read back through read-only properties.)doc";
inline constexpr const char* extractor_class = R"doc(Abstract extractor: a Python subclass supplies
``compute(input, features)``, which either fills the list ``features`` in
place and returns None, or returns a sequence of ``num_features`` numbers.)doc";
inline constexpr const char* extractor_init = R"doc(``transform`` defaults to ``transforms.identity()``, applied
without entering the interpreter; None stores no transform, which
fails on the first frame that yields a feature.)doc";
inline constexpr const char* extractor_call_sequence = R"doc(Features of one frame of ``num_samples`` floats (a list, a tuple, a
1-D float64 array, ``array.array('d')``, ...).)doc";
inline constexpr const char* extractor_call_matrix = R"doc(Features of a column-major float64 array of shape (channels,
``num_samples``), reduced to one channel by ``on_channel``.)doc";
inline constexpr const char* extractor_batch = R"doc(Features of every frame of a float64 or float32 array, as an (n,
``num_features``) float64 array: a 2-D array of shape (n,
``num_samples``) with contiguous rows, or a 3-D array of shape (n,
channels, ``num_samples``) of any strides, each frame reduced to one
channel by ``on_channel``. float32 samples are converted exactly. The
interpreter lock is released while native code runs; ``num_threads``
0 uses every available core, and at most 4 threads per available core
are started. A signal handler's exception (Ctrl-C) stops the batch.)doc";
inline constexpr const char* extractor_num_samples = R"doc(The length of a frame, in samples.)doc";
inline constexpr const char* extractor_num_features = R"doc(The number of features of a frame.)doc";
inline constexpr const char* extractor_sample_rate = R"doc(The sample rate, in hertz.)doc";
inline constexpr const char* extractor_transform = R"doc(The transform: a new, equal instance on every read for a native
transform of ``_tavik.transforms`` (the filterbank's default reads as
``log10(floor=0.0)``, ``Extractor``'s as ``identity()``), None, or the
Python callable that was given, itself.)doc";
inline constexpr const char* extractor_on_channel = R"doc(The row of a 2-D input to use; negative: the mean of all rows.)doc";
inline constexpr const char* extractor_repr = R"doc(The class's name and the constructor arguments, by name.)doc";
inline constexpr const char* getstate = R"doc(The constructor arguments, then the instance dictionary.)doc";
inline constexpr const char* setstate = R"doc(Builds the object from a state that ``__getstate__`` gave.)doc";
inline constexpr const char* reduce_ex = R"doc(The same reduction for every pickle protocol.)doc";
inline constexpr const char* filterbank_class = R"doc(Fourth-order gammatone band-pass filters with centre frequencies evenly
spaced on the ERB-rate scale from ``low_Hz`` to ``high_Hz``; feature i is
the mean smoothed envelope of filter i over the frame, passed through
``transform`` (base-10 logarithm by default).)doc";
inline constexpr const char* filter_class = R"doc(One designed filter: centre frequency, recursion coefficients and
gain.)doc";
inline constexpr const char* filter_init = R"doc(``a`` must hold exactly five numbers.)doc";
inline constexpr const char* filter_cf = R"doc(The centre frequency, in hertz.)doc";
inline constexpr const char* filter_gain = R"doc(The gain of the filter.)doc";
inline constexpr const char* filter_a = R"doc(A new list of the five recursion coefficients.)doc";
inline constexpr const char* filterbank_init = R"doc(``transform`` defaults to the base-10 logarithm,
``transforms.log10()``, applied without entering the interpreter;
``temporal_integration`` is a time constant in seconds (0: no
smoothing). Warns with ``FrequencyRangeWarning`` when ``high_Hz`` is
above ``sample_rate / 2`` or ``low_Hz`` below 0; the filterbank is
built all the same.)doc";
inline constexpr const char* filterbank_filters = R"doc(The filters in ascending centre frequency; each element refers to
the filterbank's own record and keeps the filterbank alive.)doc";
inline constexpr const char* filterbank_centre_frequencies = R"doc(A new float64 array of the filters' centre frequencies in hertz,
ascending: a copy, so writing to it leaves the filterbank as it was.)doc";
inline constexpr const char* filterbank_low_Hz = R"doc(The lower bound of the centre frequencies, in hertz, as given.)doc";
inline constexpr const char* filterbank_high_Hz = R"doc(The upper bound of the centre frequencies, in hertz, as given.)doc";
inline constexpr const char* filterbank_temporal_integration = R"doc(The time constant of the envelope's smoothing, in seconds, as
given.)doc";
inline constexpr const char* filterbank_stream_state = R"doc(The state of a continuous pass with frames ``hop`` samples apart
before its first sample, as a float64 array for ``stream_push``.)doc";
inline constexpr const char* filterbank_stream_push = R"doc(One push of a continuous pass: every filter runs through the signal
once, its state carried from push to push, and frame j (samples
``j * hop`` to ``j * hop + num_samples - 1`` of the whole signal)
reports the mean of its smoothed envelope over the frame. ``samples``
is a float64 or float32 array of shape (n,) or (n, channels), reduced
per sample to one channel by ``on_channel``; ``state`` and
``samples_pushed`` are what the previous push left (``stream_state``
and 0 at first). Returns the features of the frames this push
completes, as a (k, ``num_features``) float64 array, and the new
state; the given state is never written. The interpreter lock is
released as in ``batch``; ``num_threads`` splits the filters.)doc";
inline constexpr const char* transforms_module = R"doc(Native transforms, for the ``transform`` of an extractor.

They are applied without entering the interpreter, so ``batch`` scales with
threads as with the default. Each is a callable from float to float that
pickles, compares equal by its parameters and shows them in its repr.)doc";
inline constexpr const char* identity_class = R"doc(Every feature unchanged.)doc";
inline constexpr const char* identity_init = R"doc(The identity has no parameter.)doc";
inline constexpr const char* transform_call = R"doc(The transform of one value.)doc";
inline constexpr const char* transform_repr = R"doc(The class's name with its parameters.)doc";
inline constexpr const char* transform_eq = R"doc(Equal to a transform of the same class with equal parameters.)doc";
inline constexpr const char* transform_hash = R"doc(Equal transforms hash alike.)doc";
inline constexpr const char* transform_reduce = R"doc(Pickled as the class and its parameters.)doc";
inline constexpr const char* log10_class = R"doc(The base-10 logarithm, with a feature in [0, ``floor``) raised to
``floor`` first: a floor on silence, whose features are 0. A negative
feature gives NaN. ``log10()`` is the filterbank's default transform, bit
for bit.)doc";
inline constexpr const char* log10_init = R"doc(``floor`` must not be NaN.)doc";
inline constexpr const char* log10_floor = R"doc(The floor, as given.)doc";
inline constexpr const char* dB_class = R"doc(The level in decibels of a feature taken as an amplitude,
20 log10(x), never below ``floor_dB``. NaN, also the level of a negative
feature, stays NaN.)doc";
inline constexpr const char* dB_init = R"doc(``floor_dB`` defaults to minus infinity (no floor) and must not be
NaN.)doc";
inline constexpr const char* dB_floor_dB = R"doc(The floor in decibels, as given.)doc";
inline constexpr const char* power_class = R"doc(A feature raised to ``exponent``: for instance ``power(1 / 3)``, the
cube-root compression of auditory front-ends.)doc";
inline constexpr const char* power_init = R"doc(``exponent`` must not be NaN.)doc";
inline constexpr const char* power_exponent = R"doc(The exponent, as given.)doc";

}  // namespace tavik::extractor::docstrings
