// What a sync remembers of each row it sent: the row's key as its CSV field reads, and a
// fingerprint of the row's CSV line under its header, so that a row whose text would not change
// is known without keeping the row.
#pragma once

#include "csv_buffer.hpp"

#include <cstdint>
#include <string>

namespace {

// A 128-bit fingerprint in two independent 64-bit lanes: FNV-1a over the bytes, each lane from its
// own offset, then MurmurHash3's finaliser so that every input bit reaches every output bit. Not
// a defence against crafted collisions (nothing here needs one): a changed row goes unnoticed
// only when both lanes collide, about once in 2**128 rows. Fixed-width arithmetic throughout, so
// 32-bit ARM gives the same fingerprints as x86_64.
class Fingerprint {
public:
    explicit Fingerprint(uint64_t a = 0xcbf29ce484222325ULL, uint64_t b = 0x84222325cbf29ce4ULL)
        : a_(a), b_(b) {}

    void add(const char *data, size_t size) {
        const uint64_t prime = 0x100000001b3ULL;
        for (size_t i = 0; i < size; ++i) {
            const uint64_t byte = static_cast<unsigned char>(data[i]);
            a_ = (a_ ^ byte) * prime;
            b_ = (b_ ^ byte) * prime;
        }
    }

    // 32 lower-case hex digits: lane a, then lane b.
    std::string hex() const {
        static const char digits[] = "0123456789abcdef";
        std::string out(32, '0');
        const uint64_t lanes[2] = {mix(a_), mix(b_ ^ 0x9e3779b97f4a7c15ULL)};
        for (int lane = 0; lane < 2; ++lane)
            for (int i = 0; i < 16; ++i)
                out[static_cast<size_t>(lane * 16 + i)] =
                    digits[(lanes[lane] >> (60 - 4 * i)) & 0xfU];
        return out;
    }

private:
    static uint64_t mix(uint64_t h) {
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return h;
    }
    uint64_t a_, b_;
};

// The text of field `position` of one CSV line (without its CRLF), its RFC 4180 quotes undone:
// what csv.reader gives for that field. A line with fewer fields gives "".
inline std::string csv_field(const char *line, size_t size, size_t position) {
    size_t at = 0;
    for (size_t field = 0; at <= size; ++field) {
        const bool quoted = at < size && line[at] == '"';
        std::string text;
        if (quoted) {
            ++at;
            while (at < size) {
                if (line[at] == '"') {
                    if (at + 1 < size && line[at + 1] == '"') {
                        text.push_back('"');
                        at += 2;
                        continue;
                    }
                    ++at; // the closing quote; the comma (or the end) follows
                    break;
                }
                text.push_back(line[at++]);
            }
        } else {
            const size_t start = at;
            while (at < size && line[at] != ',')
                ++at;
            text.assign(line + start, at - start);
        }
        if (field == position)
            return text;
        ++at; // past the comma
    }
    return std::string();
}

} // namespace
