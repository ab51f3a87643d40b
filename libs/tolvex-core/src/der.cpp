#include "der.hpp"

#include <algorithm>
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

// Decimal digits, most significant first.
void mul_add(std::string& dec, unsigned mul, unsigned add) {
    unsigned carry = add;
    for (auto it = dec.rbegin(); it != dec.rend(); ++it) {
        unsigned v = static_cast<unsigned>(*it - '0') * mul + carry;
        *it = static_cast<char>('0' + v % 10);
        carry = v / 10;
    }
    while (carry != 0) {
        dec.insert(dec.begin(), static_cast<char>('0' + carry % 10));
        carry /= 10;
    }
}

// dec - 80, for a value known to be far larger than 80.
void sub_80(std::string& dec) {
    unsigned borrow = 0;
    unsigned sub[2] = {0, 8};  // units, tens
    for (std::size_t i = 0; i < dec.size(); ++i) {
        std::size_t idx = dec.size() - 1 - i;
        int v = (dec[idx] - '0') - static_cast<int>(borrow) - static_cast<int>(i < 2 ? sub[i] : 0);
        borrow = v < 0 ? 1 : 0;
        if (v < 0)
            v += 10;
        dec[idx] = static_cast<char>('0' + v);
    }
    auto nz = dec.find_first_not_of('0');
    dec.erase(0, std::min(nz, dec.size() - 1));
}

}  // namespace

std::optional<std::string> oid_text(Span content) {
    if (content.empty() || (content.back() & 0x80) != 0)
        return std::nullopt;
    std::string out;
    bool first_arc = true;
    std::size_t i = 0;
    while (i < content.size()) {
        if (content[i] == 0x80)
            return std::nullopt;  // padded subidentifier
        std::string dec = "0";
        std::uint64_t small = 0;
        std::size_t groups = 0;
        while (true) {
            std::uint8_t b = content[i++];
            mul_add(dec, 128, b & 0x7F);
            small = (small << 7) | (b & 0x7F);
            ++groups;
            if ((b & 0x80) == 0)
                break;
        }
        if (first_arc) {
            if (groups <= 8) {  // fits: 56 bits
                if (small < 40) {
                    out = "0." + std::to_string(small);
                } else if (small < 80) {
                    out = "1." + std::to_string(small - 40);
                } else {
                    out = "2." + std::to_string(small - 80);
                }
            } else {
                sub_80(dec);
                out = "2." + dec;
            }
            first_arc = false;
        } else {
            out += '.';
            out += dec;
        }
    }
    return out;
}

}  // namespace tolvex::core::der
