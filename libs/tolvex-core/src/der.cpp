#include "der.hpp"

#include <cstdio>
#include <vector>

namespace tolvex::core::der {

std::optional<Element> Reader::next() {
    std::size_t pos = 0;
    auto size = data_.size();
    if (size < 2)
        return std::nullopt;
    std::uint8_t tag = data_[pos++];
    if ((tag & 0x1F) == 0x1F) {
        // High tag number: base-128 continuation bytes.
        std::size_t count = 0;
        while (true) {
            if (pos >= size || ++count > 4)
                return std::nullopt;
            if ((data_[pos++] & 0x80) == 0)
                break;
        }
    }
    if (pos >= size)
        return std::nullopt;
    std::uint8_t first = data_[pos++];
    std::size_t length = 0;
    if (first < 0x80) {
        length = first;
    } else {
        std::size_t n = first & 0x7F;
        if (n == 0 || n > 8 || size - pos < n)
            return std::nullopt;  // 80 is indefinite
        for (std::size_t i = 0; i < n; ++i) {
            if (length > (SIZE_MAX >> 8))
                return std::nullopt;
            length = (length << 8) | data_[pos++];
        }
    }
    if (length > size - pos)
        return std::nullopt;
    Element e;
    e.tag = tag;
    e.content = data_.subspan(pos, length);
    e.whole = data_.subspan(0, pos + length);
    data_ = data_.subspan(pos + length);
    return e;
}

std::optional<Element> read_single(Span data) {
    Reader r(data);
    auto e = r.next();
    if (!e || !r.empty())
        return std::nullopt;
    return e;
}

namespace {

// An unsigned integer of any size in base 10^9 limbs, least significant
// first. Arcs are decoded in steps of four base-128 groups (28 bits), so a
// crafted arc of many kilobytes costs a fraction of a second rather than
// the minutes that digit-by-digit decimal arithmetic takes.
class BigDecimal {
  public:
    // value = value * 2^bits + add, with bits <= 28 and add < 2^bits.
    void shift_add(unsigned bits, std::uint32_t add) {
        std::uint64_t carry = add;
        for (std::uint32_t& limb : limbs_) {
            std::uint64_t v = (std::uint64_t{limb} << bits) + carry;
            limb = static_cast<std::uint32_t>(v % BASE);
            carry = v / BASE;
        }
        while (carry != 0) {
            limbs_.push_back(static_cast<std::uint32_t>(carry % BASE));
            carry /= BASE;
        }
    }

    // value -= n, for a value of at least n.
    void subtract(std::uint32_t n) {
        std::uint64_t borrow = n;
        for (std::size_t i = 0; borrow != 0 && i < limbs_.size(); ++i) {
            if (limbs_[i] >= borrow) {
                limbs_[i] = static_cast<std::uint32_t>(limbs_[i] - borrow);
                borrow = 0;
            } else {
                limbs_[i] = static_cast<std::uint32_t>(limbs_[i] + BASE - borrow);
                borrow = 1;
            }
        }
        while (limbs_.size() > 1 && limbs_.back() == 0)
            limbs_.pop_back();
    }

    std::string text() const {
        std::string out = std::to_string(limbs_.back());
        char buf[16];
        for (std::size_t i = limbs_.size() - 1; i-- > 0;) {
            std::snprintf(buf, sizeof buf, "%09u", static_cast<unsigned>(limbs_[i]));
            out += buf;
        }
        return out;
    }

  private:
    static constexpr std::uint64_t BASE = 1'000'000'000;
    std::vector<std::uint32_t> limbs_{0};
};

// Decimal text of one arc from its base-128 groups (the last without the
// continuation bit); `first_arc` applies the X.690 split of the first
// subidentifier into the first two arcs.
std::string arc_text(Span groups, bool first_arc) {
    if (groups.size() <= 9) {  // at most 63 bits
        std::uint64_t v = 0;
        for (std::uint8_t b : groups)
            v = (v << 7) | (b & 0x7F);
        if (!first_arc)
            return std::to_string(v);
        if (v < 40)
            return "0." + std::to_string(v);
        if (v < 80)
            return "1." + std::to_string(v - 40);
        return "2." + std::to_string(v - 80);
    }
    BigDecimal dec;
    std::size_t i = 0;
    // A leading partial step first, so that the rest comes in whole steps.
    for (std::size_t step = groups.size() % 4 == 0 ? 4 : groups.size() % 4; i < groups.size();
         step = 4) {
        std::uint32_t chunk = 0;
        for (std::size_t k = 0; k < step; ++k)
            chunk = (chunk << 7) | (groups[i++] & 0x7Fu);
        dec.shift_add(static_cast<unsigned>(7 * step), chunk);
    }
    if (!first_arc)
        return dec.text();
    // Ten or more groups: far beyond 80, so the first arc is 2.
    dec.subtract(80);
    return "2." + dec.text();
}

}  // namespace

std::optional<std::string> oid_text(Span content) {
    if (content.empty() || (content.back() & 0x80) != 0)
        return std::nullopt;
    std::string out;
    std::size_t i = 0;
    while (i < content.size()) {
        if (content[i] == 0x80)
            return std::nullopt;  // padded subidentifier
        std::size_t start = i;
        while ((content[i] & 0x80) != 0)
            ++i;
        ++i;
        if (start != 0)
            out += '.';
        out += arc_text(content.subspan(start, i - start), start == 0);
    }
    return out;
}

}  // namespace tolvex::core::der
