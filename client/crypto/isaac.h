// ISAAC random generator ("Indirection, Shift, Accumulate, Add, Count",
// R. J. Jenkins, 1996), for any state size of 2^k words.
//
// Isaac<8> is the standard generator with 256 words of state; Isaac<4> the
// small variant with 16 words that pads channel frames. The generator is not
// a source of entropy: its seed must come from somewhere that is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dravolin::crypto {

template <unsigned SizeLog> class Isaac {
  public:
    static constexpr std::size_t kWords = std::size_t{1} << SizeLog;

    Isaac() = default;
    ~Isaac();
    Isaac(const Isaac&) = default;
    Isaac& operator=(const Isaac&) = default;

    // Initialisation with seed material (the reference's randinit with its
    // flag set): mixes `seed` into the state and ends with one generation
    // step, so results() holds the first kWords outputs.
    void seed(const std::uint32_t seed[kWords]);
    // One generation step: the next kWords outputs replace results().
    void generate();

    const std::uint32_t* results() const { return results_; }
    const std::uint32_t* memory() const { return memory_; }

    // Wipes the whole state.
    void clear();

  private:
    std::uint32_t results_[kWords] = {};
    std::uint32_t memory_[kWords] = {};
    std::uint32_t a_ = 0, b_ = 0, c_ = 0;
};

using Isaac16 = Isaac<4>;
using Isaac256 = Isaac<8>;

extern template class Isaac<4>;
extern template class Isaac<8>;

} // namespace dravolin::crypto
