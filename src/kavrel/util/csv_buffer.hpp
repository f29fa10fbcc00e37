// The growing UTF-8 text of a CSV conversion: the byte buffer, fields written into it with their
// RFC 4180 quotes, and the one str it becomes at the end.
#pragma once

#include "_pyglue.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>

// Included by csv.cpp alone: the internal linkage keeps the compiler as free to inline across
// these pieces as when they were one file.
namespace {
namespace py = pybind11;

// A byte buffer like std::string without what costs measurable time over millions of small
// writes: zero-filling on resize and appends that are not inlined.
class Buffer {
public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const char *data() const { return data_.get(); }
    char *data() { return data_.get(); }
    void reserve(size_t capacity) {
        if (capacity > capacity_)
            reallocate(capacity);
    }
    // `n` more bytes at the end, left for the caller to fill.
    char *extend(size_t n) {
        if (n > capacity_ - size_)
            make_room(n);
        char *p = data_.get() + size_;
        size_ += n;
        return p;
    }
    void truncate(size_t size) { size_ = size; }
    void push_back(char c) { *extend(1) = c; }
    void append(const char *p, size_t n) {
        if (n != 0)
            std::memcpy(extend(n), p, n);
    }
    void append(size_t n, char c) {
        if (n != 0)
            std::memset(extend(n), c, n);
    }

private:
    struct Free {
        void operator()(char *p) const { std::free(p); }
    };
    void make_room(size_t n) {
        if (n > std::numeric_limits<size_t>::max() / 2 - size_)
            throw std::bad_alloc();
        reallocate(std::max(size_ + n, capacity_ * 2));
    }
    void reallocate(size_t capacity) {
        char *p = static_cast<char *>(std::realloc(data_.get(), capacity));
        if (p == nullptr)
            throw std::bad_alloc();
        (void)data_.release();
        data_.reset(p);
        capacity_ = capacity;
    }
    std::unique_ptr<char, Free> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// UTF-8 text under construction, the largest character width written into it (127 while all is
// ASCII, else 255, 0xFFFF or 0x10FFFF as the widest str written) and the count of UTF-8
// continuation bytes in it, so the final str is allocated once at its final length and width.
struct Text {
    Buffer buf;
    Py_UCS4 maxchar = 127;
    size_t continuation = 0;

    size_t chars() const { return buf.size() - continuation; }

    void put(char c) { buf.push_back(c); }
    void put(const char *p, size_t n) { buf.append(p, n); }
    // Room for `n` bytes at the end; the caller fills them and gives back the rest with `trim`.
    char *grow(size_t n) { return buf.extend(n); }
    void trim(const char *end) { buf.truncate(static_cast<size_t>(end - buf.data())); }
};

// Nonzero exactly when one of the eight bytes in `x` is `c`.
inline uint64_t has_byte(uint64_t x, char c) {
    uint64_t v = x ^ (0x0101010101010101ULL * static_cast<unsigned char>(c));
    return (v - 0x0101010101010101ULL) & ~v & 0x8080808080808080ULL;
}

// The bytes that make a field need quotes, as a table: one load per byte instead of four tests.
struct QuoteTriggers {
    bool at[256] = {};
    constexpr QuoteTriggers() { at[','] = at['"'] = at['\r'] = at['\n'] = true; }
};
constexpr QuoteTriggers kQuoteTriggers;

// The first byte in [p, end) that makes a field need quotes, or `end`. Eight bytes at a time, as
// most fields need none.
const char *find_quote_trigger(const char *p, const char *end) {
    for (; end - p >= 8; p += 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        if ((has_byte(x, ',') | has_byte(x, '"') | has_byte(x, '\r') | has_byte(x, '\n')) != 0)
            break;
    }
    while (p != end && !kQuoteTriggers.at[static_cast<unsigned char>(*p)])
        ++p;
    return p;
}

// The field written since `start` gets RFC 4180 quotes when it holds a comma, a quote, CR or LF.
// Quoting is rare, so fields are written bare first and fixed up here only when needed.
void quote_if_needed(Text &out, size_t start) {
    const char *end = out.buf.data() + out.buf.size();
    const char *p = find_quote_trigger(out.buf.data() + start, end);
    if (p == end)
        return;
    size_t length = out.buf.size() - start;
    size_t quotes = static_cast<size_t>(std::count(p, end, '"'));
    out.buf.extend(quotes + 2);
    // Moved right in place, from the back, doubling each quote on the way.
    char *base = out.buf.data() + start;
    char *to = base + length + quotes + 1;
    *to-- = '"';
    for (const char *from = base + length; from != base;) {
        char c = *--from;
        *to-- = c;
        if (c == '"')
            *to-- = '"';
    }
    *to = '"';
}

// Appends the UTF-8 form of `n` code points of one width. False for a lone surrogate, which has
// no UTF-8 form (the caller raises Python's own UnicodeEncodeError for it).
template <typename Char> bool put_utf8(Text &out, const Char *s, Py_ssize_t n) {
    char *const begin = out.grow(static_cast<size_t>(n) * (sizeof(Char) == 1   ? 2
                                                           : sizeof(Char) == 2 ? 3
                                                                               : 4));
    char *d = begin;
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint32_t c = s[i];
        if (c < 0x80) {
            *d++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *d++ = static_cast<char>(0xC0 | (c >> 6));
            *d++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                out.trim(d);
                return false;
            }
            *d++ = static_cast<char>(0xE0 | (c >> 12));
            *d++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *d++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *d++ = static_cast<char>(0xF0 | (c >> 18));
            *d++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *d++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *d++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.continuation += static_cast<size_t>(d - begin) - static_cast<size_t>(n);
    out.trim(d);
    return true;
}

// An ASCII str as one field, quoted when needed.
void put_ascii(Text &out, PyObject *s) {
    size_t start = out.buf.size();
    out.put(static_cast<const char *>(PyUnicode_DATA(s)),
            static_cast<size_t>(PyUnicode_GET_LENGTH(s)));
    quote_if_needed(out, start);
}

// Calls `walk` with the code units of the ready str `s`, typed by its storage kind, so one
// template body serves the 1-, 2- and 4-byte forms.
template <class Walk> bool with_code_units(PyObject *s, Walk walk) {
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        return walk(PyUnicode_1BYTE_DATA(s));
    case PyUnicode_2BYTE_KIND:
        return walk(PyUnicode_2BYTE_DATA(s));
    default:
        return walk(PyUnicode_4BYTE_DATA(s));
    }
}

// The characters of a str (or str subclass) as one field, quoted when needed.
void put_text(Text &out, PyObject *s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) != 0)
        throw py::error_already_set();
#endif
    size_t start = out.buf.size();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    bool encoded = true;
    if (PyUnicode_IS_ASCII(s)) {
        out.put(static_cast<const char *>(PyUnicode_DATA(s)), static_cast<size_t>(n));
    } else {
        out.maxchar = std::max(out.maxchar, PyUnicode_MAX_CHAR_VALUE(s));
        encoded = with_code_units(s, [&](const auto *data) { return put_utf8(out, data, n); });
    }
    if (!encoded) {
        out.buf.truncate(start);
        py::object raises = py::reinterpret_steal<py::object>(PyUnicode_AsUTF8String(s));
        throw py::error_already_set();
    }
    quote_if_needed(out, start);
}

[[noreturn]] inline void miscounted() {
    kavrel::raise(PyExc_SystemError,
                  "kavrel.util.csv: the text holds another number of characters than counted");
}

// Decodes UTF-8 that this module wrote itself (so known to be well formed, with no character
// above what `Char` holds) straight into the final str's storage, which ends at `stop`: a count
// that promised fewer characters than the text holds is an error, never a write past the str.
template <typename Char> Char *widen(const Buffer &utf8, Char *d, Char *stop) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(utf8.data());
    const unsigned char *end = p + utf8.size();
    while (p != end) {
        // Runs of ASCII, the bulk of any CSV text, 32 bytes at a time.
        while (end - p >= 32 && stop - d >= 32) {
            uint64_t eight[4];
            std::memcpy(eight, p, 32);
            if (((eight[0] | eight[1] | eight[2] | eight[3]) & 0x8080808080808080ULL) != 0)
                break;
            for (int i = 0; i < 32; ++i)
                d[i] = static_cast<Char>(p[i]);
            p += 32;
            d += 32;
        }
        if (p == end)
            break;
        if (d == stop)
            miscounted();
        uint32_t c = *p;
        if (c < 0x80) {
            ++p;
        } else if (c < 0xE0) {
            c = ((c & 0x1F) << 6) | (p[1] & 0x3F);
            p += 2;
        } else if (c < 0xF0) {
            c = ((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            p += 3;
        } else {
            c = ((c & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
            p += 4;
        }
        *d++ = static_cast<Char>(c);
    }
    return d;
}

// One str from the concatenation of `parts`, allocated once at its final width. Python's own
// UTF-8 decoder would start narrow and copy everything again at each wider character it meets.
py::str to_str(std::initializer_list<const Buffer *> parts, size_t count, Py_UCS4 maxchar) {
    py::str result =
        py::reinterpret_steal<py::str>(PyUnicode_New(static_cast<Py_ssize_t>(count), maxchar));
    if (!result)
        throw py::error_already_set();
    // Each part is written within the str's own length, and must fill it exactly.
    const auto fill = [&](auto *d) {
        auto *const stop = d + count;
        for (const Buffer *part : parts)
            d = widen(*part, d, stop);
        if (d != stop)
            miscounted();
    };
    void *data = PyUnicode_DATA(result.ptr());
    switch (PyUnicode_KIND(result.ptr())) {
    case PyUnicode_1BYTE_KIND:
        if (maxchar < 128) {
            size_t bytes = 0;
            for (const Buffer *part : parts)
                bytes += part->size();
            if (bytes != count)
                miscounted();
            char *d = static_cast<char *>(data);
            for (const Buffer *part : parts)
                d = std::copy(part->data(), part->data() + part->size(), d);
        } else {
            fill(static_cast<Py_UCS1 *>(data));
        }
        break;
    case PyUnicode_2BYTE_KIND:
        fill(static_cast<Py_UCS2 *>(data));
        break;
    default:
        fill(static_cast<Py_UCS4 *>(data));
        break;
    }
    return result;
}

} // namespace
