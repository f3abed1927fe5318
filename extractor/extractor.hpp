// Abstract frame-to-features extractor: the contract between one frame of
// samples and its feature vector, and everything around a subclass's compute:
// the length check, the feature vector, the transform and channel reduction.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <Eigen/Core>
#include <fmt/format.h>

namespace tavik::extractor {

template <typename T>
class Extractor {
public:
    using Frame = std::vector<T>;
    using Features = std::vector<T>;
    using Transform = std::function<T(T)>;
    using Matrix = Eigen::Matrix<T, Eigen::Dynamic, Eigen::Dynamic>;
    // Column-major, unit inner stride, any outer stride: rows are channels,
    // columns are sample instants, so an interleaved buffer is viewed in place.
    using MatrixView = Eigen::Ref<const Matrix, 0, Eigen::OuterStride<>>;
    using ChannelReducer = std::function<Frame(const MatrixView&)>;

    const std::size_t num_samples;
    const std::size_t num_features;
    const int sample_rate;
    const int on_channel;
    const Transform transform;
    const ChannelReducer matrix_to_vector;

    Extractor(std::size_t num_samples, std::size_t num_features, int sample_rate,
              Transform transform, int on_channel)
        : num_samples(num_samples),
          num_features(num_features),
          sample_rate(sample_rate),
          on_channel(on_channel),
          transform(std::move(transform)),
          matrix_to_vector(matrix_to_vector_factory(on_channel)) {}

    Extractor(const Extractor&) = delete;
    Extractor& operator=(const Extractor&) = delete;
    virtual ~Extractor() = default;

    // Writes the raw features of `input` into `features`.
    virtual void compute(const Frame& input, Features& features) const = 0;

    // Raw features of one frame of exactly num_samples samples.
    virtual Features compute(const Frame& input) const {
        check_length(input.size());
        Features features(num_features, T(0));
        compute(input, features);
        return features;
    }

    // In the caller's vector, without a length check.
    virtual void operator()(const Frame& input, Features& features) const {
        compute(input, features);
        apply_transform(features);
    }

    virtual Features operator()(const Frame& input) const {
        Features features = compute(input);
        apply_transform(features);
        return features;
    }

    virtual Features operator()(MatrixView input) const {
        return (*this)(matrix_to_vector(input));
    }

    // The transform applied in place to `count` features, in index order,
    // with a fresh copy of it, as every call above applies it: features
    // computed raw and transformed afterwards have the same bits.
    void apply_transform(T* features, std::size_t count) const {
        if (count == 0) return;
        Transform f = transform;
        for (std::size_t i = 0; i < count; ++i) features[i] = f(features[i]);
    }

    // The message of a multichannel input without a channel, on every path.
    static constexpr const char* no_channels = "Input signal has no channels";

    // The length check of every value-returning call, also used by callers
    // that check a whole batch of frames before any work starts.
    void check_length(std::size_t length) const {
        if (length != num_samples) {
            throw std::invalid_argument(
                fmt::format("Input signal must be of length {}. Instead it is of length {}.",
                            num_samples, length));
        }
    }

    // The sign of on_channel is looked at once, here. The reducers capture
    // nothing but the channel index, so they never outlive anything they use.
    static ChannelReducer matrix_to_vector_factory(const int& on_channel) {
        if (on_channel < 0) {
            // The mean of no rows would be NaN for every sample.
            return [](const MatrixView& m) { return mean_of_rows(m); };
        }
        const Eigen::Index channel = on_channel;
        return [channel](const MatrixView& m) {
            // Without channels, whatever the channel asked for: the same
            // error as the mean's and as every other path's.
            if (m.rows() == 0) throw std::invalid_argument(no_channels);
            if (channel >= m.rows()) {
                throw std::out_of_range(
                    fmt::format("Channel {} is out of range for an input of {} channels",
                                channel, m.rows()));
            }
            Frame frame(static_cast<std::size_t>(m.cols()));
            for (Eigen::Index c = 0; c < m.cols(); ++c) frame[c] = m(channel, c);
            return frame;
        };
    }

private:
    // A copy per call, so that a stateful function object starts every call
    // from the state the constructor stored.
    void apply_transform(Features& features) const {
        apply_transform(features.data(), features.size());
    }

    // Rows summed in index order from row 0, then divided by the row count:
    // the order of a scalar column mean, fixed here so that the result does not
    // depend on how Eigen would vectorise its own reduction. No rows: 0 / 0.
    static Frame mean_of_rows(const MatrixView& m) {
        const Eigen::Index rows = m.rows();
        if (rows == 0) throw std::invalid_argument(no_channels);
        Frame frame(static_cast<std::size_t>(m.cols()));
        for (Eigen::Index c = 0; c < m.cols(); ++c) {
            T sum = rows > 0 ? m(0, c) : T(0);
            for (Eigen::Index r = 1; r < rows; ++r) sum = sum + m(r, c);
            frame[c] = sum / static_cast<T>(rows);
        }
        return frame;
    }
};

}  // namespace tavik::extractor
