// Extension module kavrel.util.csv: the CSV text of a job's records, in the form the ingest jobs
// take it (RFC 4180 quoting, CRLF after every line, UTF-8 without a byte-order mark).
//
// This runs on every batch of every load, so the common values (text, integers, floats, booleans,
// None, dates and times) are written straight into one UTF-8 buffer without calling back into
// Python; only the rare ones (Decimal in exponent form, JSON, arbitrary objects) go through Python
// calls. The text becomes a Python str once, at the end.
#include "_pyglue.hpp"

#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {
namespace py = pybind11;

// A Decimal whose exponent lies beyond this would take that many digits in plain notation: far
// beyond any number field, and at the extreme gigabytes of zeros. Same bound as Python's own limit
// for turning an int into text.
constexpr long kMaxPlainDecimalExponent = 4300;

// ---------------------------------------------------------------------------------------------
// The growing text

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

// ---------------------------------------------------------------------------------------------
// Numbers

void put_int64(Text &out, long long v) {
    char *d = out.grow(24);
    out.trim(std::to_chars(d, d + 24, v).ptr);
}

// An int (or subclass, bool excluded by the caller) in decimal, of any size.
void put_int(Text &out, PyObject *v) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
        if (small == -1 && PyErr_Occurred())
            throw py::error_already_set();
        put_int64(out, small);
        return;
    }
    py::object text = py::reinterpret_steal<py::object>(PyNumber_ToBase(v, 10));
    if (!text)
        throw py::error_already_set();
    put_text(out, text.ptr());
}

// The few decimals most floats in records carry (prices, rates, scores), found without the general
// shortest-digits search: the first k for which a whole m with m / 10**k reading back as `v`
// exists. IEEE division is correctly rounded and m and 10**k are exact, so m / 10**k is the float
// nearest to that decimal; at the smallest such k no shorter digits read back as `v`, and m is the
// only candidate (10**-k exceeds the float's spacing), so these are exactly repr's digits. False
// for values outside [1e-4, 2**50), whose repr may take exponent form or more digits than this
// tries.
bool put_short_float(Text &out, double v) {
    static const double powers[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    constexpr double limit = 1125899906842624.0; // 2**50: every whole number below is exact
    double magnitude = std::fabs(v);
    if (!(magnitude >= 1e-4 && magnitude < limit))
        return false;
    for (int k = 0; k < 10; ++k) {
        double scaled = magnitude * powers[k];
        if (scaled >= limit)
            return false;
        // Below 2**50 adding a half is exact, so this rounds to the nearest whole number.
        double m = static_cast<double>(static_cast<int64_t>(scaled + 0.5));
        if (m / powers[k] != magnitude)
            continue;
        char *d = out.grow(48);
        if (v < 0)
            *d++ = '-';
        char digits[24];
        int count = static_cast<int>(
            std::to_chars(digits, digits + sizeof digits, static_cast<int64_t>(m)).ptr - digits);
        if (k == 0) {
            d = std::copy(digits, digits + count, d);
            *d++ = '.';
            *d++ = '0';
        } else if (count > k) {
            d = std::copy(digits, digits + count - k, d);
            *d++ = '.';
            d = std::copy(digits + count - k, digits + count, d);
        } else {
            *d++ = '0';
            *d++ = '.';
            d = std::fill_n(d, k - count, '0');
            d = std::copy(digits, digits + count, d);
        }
        out.trim(d);
        return true;
    }
    return false;
}

// A finite float exactly as Python's repr() writes it: the shortest digits that read back as the
// same float, in exponent form when the decimal exponent is below -4 or at least 16, otherwise
// positional with at least one digit after the point.
void put_float(Text &out, double v) {
    if (put_short_float(out, v))
        return;
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    // Shortest round-trip digits in the form "[-]d[.ddd]e±XX".
    char sci[40];
    char *sci_end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    // The exponent is the last two or three digits.
    const char *e = sci_end - 3;
    while (*e != 'e')
        --e;
    int exponent = 0;
    for (const char *q = e + 2; q != sci_end; ++q)
        exponent = exponent * 10 + (*q - '0');
    if (e[1] == '-')
        exponent = -exponent;
    if (exponent < -4 || exponent >= 16) {
        // to_chars writes the exponent with a sign and at least two digits, as repr does.
        out.put(sci, static_cast<size_t>(sci_end - sci));
        return;
    }
    const char *p = sci;
    if (*p == '-')
        out.put(*p++);
    char digits[24];
    int count = 0;
    for (; p != e; ++p)
        if (*p != '.')
            digits[count++] = *p;
    int point = exponent + 1; // digits before the decimal point
    if (point <= 0) {
        out.put("0.", 2);
        out.buf.append(static_cast<size_t>(-point), '0');
        out.put(digits, static_cast<size_t>(count));
    } else if (point >= count) {
        out.put(digits, static_cast<size_t>(count));
        out.buf.append(static_cast<size_t>(point - count), '0');
        out.put(".0", 2);
    } else {
        out.put(digits, static_cast<size_t>(point));
        out.put('.');
        out.put(digits + point, static_cast<size_t>(count - point));
    }
#else
    char *text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr)
        throw py::error_already_set();
    out.put(text, std::strlen(text));
    PyMem_Free(text);
#endif
}

enum class Written { ok, not_finite, too_long };

// A Decimal in plain notation. str() already gives it for the usual exponents; only the exponent
// form needs format(d, "f"), after a check that the plain form stays a sane length.
Written put_decimal(Text &out, PyObject *v) {
    py::object text = py::reinterpret_steal<py::object>(PyObject_Str(v));
    if (!text)
        throw py::error_already_set();
    if (!PyUnicode_IS_ASCII(text.ptr())) { // only a subclass's own __str__ gets here
        put_text(out, text.ptr());
        return Written::ok;
    }
    const char *p = static_cast<const char *>(PyUnicode_DATA(text.ptr()));
    const char *end = p + PyUnicode_GET_LENGTH(text.ptr());
    const char *body = (p != end && *p == '-') ? p + 1 : p;
    if (body != end && (*body == 'N' || *body == 's' || *body == 'I'))
        return Written::not_finite; // NaN, sNaN, Infinity
    const char *e = static_cast<const char *>(std::memchr(p, 'E', static_cast<size_t>(end - p)));
    if (e == nullptr) {
        put_text(out, text.ptr());
        return Written::ok;
    }
    const char *digits = e + 1;
    if (digits != end && (*digits == '+' || *digits == '-'))
        ++digits;
    long magnitude = 0;
    if (end - digits > 9 || std::from_chars(digits, end, magnitude).ec != std::errc() ||
        magnitude > kMaxPlainDecimalExponent)
        return Written::too_long;
    py::object plain = py::reinterpret_steal<py::object>(PyObject_Format(v, py::str("f").ptr()));
    if (!plain)
        throw py::error_already_set();
    put_text(out, plain.ptr());
    return Written::ok;
}

// ---------------------------------------------------------------------------------------------
// Dates and times

char *two_digits(char *d, int v) {
    d[0] = static_cast<char>('0' + v / 10);
    d[1] = static_cast<char>('0' + v % 10);
    return d + 2;
}

char *date_part(char *d, int year, int month, int day) {
    d = two_digits(d, year / 100);
    d = two_digits(d, year % 100);
    *d++ = '-';
    d = two_digits(d, month);
    *d++ = '-';
    return two_digits(d, day);
}

// HH:MM:SS.sss (milliseconds cut, not rounded, as isoformat(timespec="milliseconds") does).
char *time_part(char *d, int hour, int minute, int second, int microsecond) {
    d = two_digits(d, hour);
    *d++ = ':';
    d = two_digits(d, minute);
    *d++ = ':';
    d = two_digits(d, second);
    *d++ = '.';
    int millis = microsecond / 1000;
    *d++ = static_cast<char>('0' + millis / 100);
    return two_digits(d, millis % 100);
}

// `value.utcoffset()`: a timedelta, or None.
py::object utc_offset(PyObject *value) {
    py::object delta = py::reinterpret_borrow<py::object>(value).attr("utcoffset")();
    if (!delta.is_none() && !PyDelta_Check(delta.ptr()))
        kavrel::raise(PyExc_TypeError, "utcoffset() must return a timedelta or None");
    return delta;
}

int64_t microseconds_of(const py::object &delta) {
    return (int64_t{PyDateTime_DELTA_GET_DAYS(delta.ptr())} * 86400 +
            PyDateTime_DELTA_GET_SECONDS(delta.ptr())) *
               1000000 +
           PyDateTime_DELTA_GET_MICROSECONDS(delta.ptr());
}

void put_date(Text &out, PyObject *v) {
    char *d = out.grow(10);
    out.trim(date_part(d, PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v)));
}

// YYYY-MM-DDTHH:MM:SS.sss with the offset as +HH:MM; naive values are taken as UTC and marked Z.
// An offset with seconds has no +HH:MM form, so such a value is written as the same instant in
// UTC instead of being cut to whole minutes.
void put_datetime(Text &out, PyObject *v) {
    PyObject *tz = PyDateTime_DATE_GET_TZINFO(v);
    bool aware = false;
    int64_t offset = 0;
    py::object shifted;
    if (tz == PyDateTime_TimeZone_UTC) {
        aware = true;
    } else if (tz != Py_None) {
        py::object delta = utc_offset(v);
        aware = !delta.is_none();
        if (aware)
            offset = microseconds_of(delta);
        if (offset % 60000000 != 0) {
            shifted = py::reinterpret_steal<py::object>(PyNumber_Subtract(v, delta.ptr()));
            if (!shifted)
                throw py::error_already_set();
            if (!PyDateTime_Check(shifted.ptr()))
                kavrel::raise(PyExc_TypeError, "datetime minus timedelta gave no datetime");
            v = shifted.ptr();
            offset = 0;
        }
    }
    char *d = out.grow(29);
    d = date_part(d, PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v));
    *d++ = 'T';
    d = time_part(d, PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
                  PyDateTime_DATE_GET_SECOND(v), PyDateTime_DATE_GET_MICROSECOND(v));
    if (!aware) {
        *d++ = 'Z';
    } else {
        int64_t minutes = offset / 60000000;
        *d++ = minutes < 0 ? '-' : '+';
        if (minutes < 0)
            minutes = -minutes;
        d = two_digits(d, static_cast<int>(minutes / 60));
        *d++ = ':';
        d = two_digits(d, static_cast<int>(minutes % 60));
    }
    out.trim(d);
}

// HH:MM:SS.sssZ. A time that carries an offset is moved to UTC (across midnight if need be), so
// the Z never mislabels it.
void put_time(Text &out, PyObject *v) {
    int64_t of_day =
        ((int64_t{PyDateTime_TIME_GET_HOUR(v)} * 60 + PyDateTime_TIME_GET_MINUTE(v)) * 60 +
         PyDateTime_TIME_GET_SECOND(v)) *
            1000000 +
        PyDateTime_TIME_GET_MICROSECOND(v);
    if (PyDateTime_TIME_GET_TZINFO(v) != Py_None) {
        py::object delta = utc_offset(v);
        if (!delta.is_none()) {
            const int64_t day = int64_t{86400} * 1000000;
            of_day = ((of_day - microseconds_of(delta)) % day + day) % day;
        }
    }
    int64_t seconds = of_day / 1000000;
    char *d = out.grow(13);
    d = time_part(d, static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60), static_cast<int>(of_day % 1000000));
    *d++ = 'Z';
    out.trim(d);
}

// ---------------------------------------------------------------------------------------------
// JSON

// Containers nested deeper than this (or holding themselves) are left to the json module, which
// has its own answer for them.
constexpr int kMaxJsonDepth = 100;

// The characters of a str as the body of a JSON string: quote, backslash and control characters
// escaped exactly as the json module escapes them, everything else as UTF-8. False for a lone
// surrogate, which has no UTF-8 form.
template <typename Char> bool put_json_chars(Text &out, const Char *s, Py_ssize_t n) {
    static const char hex[] = "0123456789abcdef";
    // Six bytes is the longest any character takes (\u001f). On 32-bit platforms a str can hold
    // more characters than a sixth of the address space.
    if (static_cast<size_t>(n) > std::numeric_limits<size_t>::max() / 6)
        throw std::bad_alloc();
    char *d = out.grow(static_cast<size_t>(n) * 6);
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint32_t c = s[i];
        if (c < 0x80) {
            if (c >= 0x20 && c != '"' && c != '\\') {
                *d++ = static_cast<char>(c);
                continue;
            }
            *d++ = '\\';
            switch (c) {
            case '"':
            case '\\':
                *d++ = static_cast<char>(c);
                break;
            case '\n':
                *d++ = 'n';
                break;
            case '\r':
                *d++ = 'r';
                break;
            case '\t':
                *d++ = 't';
                break;
            case '\b':
                *d++ = 'b';
                break;
            case '\f':
                *d++ = 'f';
                break;
            default:
                *d++ = 'u';
                *d++ = '0';
                *d++ = '0';
                *d++ = hex[c >> 4];
                *d++ = hex[c & 0xF];
            }
        } else if (c < 0x800) {
            out.continuation += 1;
            *d++ = static_cast<char>(0xC0 | (c >> 6));
            *d++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                out.trim(d);
                return false;
            }
            out.continuation += 2;
            *d++ = static_cast<char>(0xE0 | (c >> 12));
            *d++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *d++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out.continuation += 3;
            *d++ = static_cast<char>(0xF0 | (c >> 18));
            *d++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *d++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *d++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.trim(d);
    return true;
}

bool put_json_string(Text &out, PyObject *s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) != 0)
        throw py::error_already_set();
#endif
    out.put('"');
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    bool encoded =
        with_code_units(s, [&](const auto *data) { return put_json_chars(out, data, n); });
    if (!PyUnicode_IS_ASCII(s))
        out.maxchar = std::max(out.maxchar, PyUnicode_MAX_CHAR_VALUE(s));
    out.put('"');
    return encoded;
}

// `v` in compact JSON, as json.dumps(v, separators=(",", ":"), ensure_ascii=False) writes it,
// when it is made of the plain types alone (dict with str keys, list, tuple, str, int, float,
// bool, None, all of exactly these types). False, with part of it possibly written, for anything
// else: the caller leaves such a value to the json module, so the text never differs from what
// the json module would give. Nothing here runs Python code, so the containers cannot change
// under the writer.
bool put_json(Text &out, PyObject *v, int depth) {
    PyTypeObject *type = Py_TYPE(v);
    if (type == &PyUnicode_Type)
        return put_json_string(out, v);
    if (type == &PyLong_Type) {
        put_int(out, v);
    } else if (type == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(v);
        if (std::isfinite(d))
            put_float(out, d);
        else if (std::isnan(d))
            out.put("NaN", 3);
        else if (d > 0)
            out.put("Infinity", 8);
        else
            out.put("-Infinity", 9);
    } else if (v == Py_None) {
        out.put("null", 4);
    } else if (v == Py_True) {
        out.put("true", 4);
    } else if (v == Py_False) {
        out.put("false", 5);
    } else if (depth >= kMaxJsonDepth) {
        return false;
    } else if (type == &PyDict_Type) {
        out.put('{');
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        bool first = true;
        while (PyDict_Next(v, &pos, &key, &value)) {
            if (!first)
                out.put(',');
            first = false;
            if (!PyUnicode_CheckExact(key) || !put_json_string(out, key))
                return false;
            out.put(':');
            if (!put_json(out, value, depth + 1))
                return false;
        }
        out.put('}');
    } else if (type == &PyList_Type || type == &PyTuple_Type) {
        PyObject **items = PySequence_Fast_ITEMS(v);
        Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
        out.put('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0)
                out.put(',');
            if (!put_json(out, items[i], depth + 1))
                return false;
        }
        out.put(']');
    } else {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Bytes

void put_base64(Text &out, const unsigned char *p, size_t n) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char *d = out.grow((n + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t triple = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
        *d++ = alphabet[triple >> 18];
        *d++ = alphabet[(triple >> 12) & 0x3F];
        *d++ = alphabet[(triple >> 6) & 0x3F];
        *d++ = alphabet[triple & 0x3F];
    }
    if (i < n) {
        uint32_t rest = uint32_t{p[i]} << 16;
        if (i + 1 < n)
            rest |= uint32_t{p[i + 1]} << 8;
        *d++ = alphabet[rest >> 18];
        *d++ = alphabet[(rest >> 12) & 0x3F];
        *d++ = i + 1 < n ? alphabet[(rest >> 6) & 0x3F] : '=';
        *d++ = '=';
    }
    out.trim(d);
}

void put_bytes_like(Text &out, PyObject *v) {
    if (PyBytes_Check(v)) {
        put_base64(out, reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(v)),
                   static_cast<size_t>(PyBytes_GET_SIZE(v)));
    } else if (PyByteArray_Check(v)) {
        put_base64(out, reinterpret_cast<const unsigned char *>(PyByteArray_AS_STRING(v)),
                   static_cast<size_t>(PyByteArray_GET_SIZE(v)));
    } else {
        // A memoryview may be strided; bytes() makes it one contiguous run.
        py::object copy = py::reinterpret_steal<py::object>(PyBytes_FromObject(v));
        if (!copy)
            throw py::error_already_set();
        put_bytes_like(out, copy.ptr());
    }
}

// ---------------------------------------------------------------------------------------------
// The final str

// Decodes UTF-8 that this module wrote itself (so known to be well formed, with no character
// above what `Char` holds) straight into the final str's storage.
template <typename Char> Char *widen(const Buffer &utf8, Char *d) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(utf8.data());
    const unsigned char *end = p + utf8.size();
    while (p != end) {
        // Runs of ASCII, the bulk of any CSV text, 32 bytes at a time.
        while (end - p >= 32) {
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
    void *data = PyUnicode_DATA(result.ptr());
    switch (PyUnicode_KIND(result.ptr())) {
    case PyUnicode_1BYTE_KIND:
        if (maxchar < 128) {
            char *d = static_cast<char *>(data);
            for (const Buffer *part : parts)
                d = std::copy(part->data(), part->data() + part->size(), d);
        } else {
            Py_UCS1 *d = static_cast<Py_UCS1 *>(data);
            for (const Buffer *part : parts)
                d = widen(*part, d);
        }
        break;
    case PyUnicode_2BYTE_KIND: {
        Py_UCS2 *d = static_cast<Py_UCS2 *>(data);
        for (const Buffer *part : parts)
            d = widen(*part, d);
        break;
    }
    default: {
        Py_UCS4 *d = static_cast<Py_UCS4 *>(data);
        for (const Buffer *part : parts)
            d = widen(*part, d);
        break;
    }
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// One conversion

class CsvWriter {
public:
    py::str run(const py::object &records);

private:
    void add_record(PyObject *record);
    void add_dict(PyObject *record);
    void place(PyObject *key, PyObject *value, Py_ssize_t position, Py_ssize_t written);
    Py_ssize_t column_of(PyObject *key);
    void write_slots(size_t start, Py_ssize_t from);
    size_t begin_row();
    void end_row(size_t start);
    void write_field(PyObject *value, Py_ssize_t column);
    bool put_inert(PyObject *v);
    Written put_value(PyObject *v);
    Written put_double(double d);
    Written put_other(PyObject *v);
    [[noreturn]] void refuse_value(Written why, PyObject *value, Py_ssize_t column);
    py::str finish();

    Text body_;
    std::vector<py::object> names_; // column names (exact str), in first-seen order
    py::dict index_;                // column name -> position in names_
    std::vector<py::object> row_;   // the current record's values by column; empty = absent
    Py_ssize_t record_ = 0;         // index of the record being written
    // Where each row starts in body_, and the column count in force from a given row on (rows
    // written before a column first appeared are padded when the text is finished).
    std::vector<size_t> row_starts_;
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> widths_;
    py::object decimal_type_, mapping_type_, encode_json_;
};

void add_note(py::error_already_set &e, const std::string &note) {
    py::object value = e.value();
    if (py::hasattr(value, "add_note"))
        value.attr("add_note")(note);
}

Py_ssize_t CsvWriter::column_of(PyObject *key) {
    py::object name = py::reinterpret_borrow<py::object>(key);
    if (!PyUnicode_CheckExact(key)) {
        name = py::reinterpret_steal<py::object>(PyObject_Str(key));
        if (!name)
            throw py::error_already_set();
    }
    PyObject *found = PyDict_GetItemWithError(index_.ptr(), name.ptr()); // borrowed
    if (found != nullptr)
        return PyLong_AsSsize_t(found);
    if (PyErr_Occurred())
        throw py::error_already_set();
    Py_ssize_t position = static_cast<Py_ssize_t>(names_.size());
    index_[name] = py::int_(position);
    names_.push_back(name);
    row_.emplace_back();
    return position;
}

// Puts one value of the current record into its column's slot; the first `written` columns were
// already written straight from the record. Keys usually arrive as the very objects, in the very
// order, of the columns already known, which settles most without a lookup.
void CsvWriter::place(PyObject *key, PyObject *value, Py_ssize_t position, Py_ssize_t written) {
    py::object held_key = py::reinterpret_borrow<py::object>(key);
    py::object held_value = py::reinterpret_borrow<py::object>(value);
    Py_ssize_t column = position < static_cast<Py_ssize_t>(names_.size()) &&
                                key == names_[static_cast<size_t>(position)].ptr()
                            ? position
                            : column_of(key);
    py::object &slot = row_[static_cast<size_t>(column)];
    if (column < written || slot) {
        kavrel::raise(PyExc_ValueError,
                      "json_to_csv: the record at index " + std::to_string(record_) +
                          " has two keys for the column " +
                          std::string(py::repr(names_[static_cast<size_t>(column)])));
    }
    slot = std::move(held_value);
}

// A dict's values are written as they come for as long as its keys are the known columns, as the
// very same objects in the same order (rows from one query share their key objects); from the
// first key that is not, the rest are sorted into slots and written after.
void CsvWriter::add_dict(PyObject *record) {
    const Py_ssize_t size = PyDict_GET_SIZE(record);
    const Py_ssize_t known = static_cast<Py_ssize_t>(names_.size());
    size_t start = begin_row();
    Py_ssize_t pos = 0, column = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(record, &pos, &key, &value)) {
        if (column < known && key == names_[static_cast<size_t>(column)].ptr()) {
            if (column > 0)
                body_.put(',');
            write_field(value, column++);
            continue;
        }
        Py_ssize_t position = column;
        do
            place(key, value, position++, column);
        while (PyDict_Next(record, &pos, &key, &value));
        break;
    }
    if (PyDict_GET_SIZE(record) != size)
        kavrel::raise(PyExc_RuntimeError, "json_to_csv: the record at index " +
                                              std::to_string(record_) +
                                              " changed size while it was written");
    write_slots(start, column);
}

void CsvWriter::add_record(PyObject *record) {
    if (PyDict_CheckExact(record)) {
        add_dict(record);
        return;
    }
    {
        if (!mapping_type_)
            mapping_type_ = kavrel::g("Mapping");
        int is_mapping =
            PyDict_Check(record) ? 1 : PyObject_IsInstance(record, mapping_type_.ptr());
        if (is_mapping < 0)
            throw py::error_already_set();
        if (is_mapping == 0) {
            kavrel::raise(PyExc_TypeError,
                          "json_to_csv: records must be mappings (column -> value); the record at "
                          "index " +
                              std::to_string(record_) + " is " + kavrel::type_name(record));
        }
        py::object items = py::reinterpret_steal<py::object>(PyMapping_Items(record));
        if (!items)
            throw py::error_already_set();
        Py_ssize_t position = 0;
        for (py::handle item : items) {
            if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
                kavrel::raise(PyExc_TypeError, "json_to_csv: items() of the record at index " +
                                                   std::to_string(record_) +
                                                   " must give (key, value) pairs");
            place(PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1), position++, 0);
        }
    }
    write_slots(begin_row(), 0);
}

// The common types are told apart by exact type first, which is one pointer comparison each,
// the most frequent first. False, with nothing written, for a value whose writing might run Python
// code (or that is refused).
bool CsvWriter::put_inert(PyObject *v) {
    PyTypeObject *type = Py_TYPE(v);
    if (type == &PyUnicode_Type) {
        if (PyUnicode_IS_ASCII(v))
            put_ascii(body_, v);
        else
            put_text(body_, v);
    } else if (v == Py_None) {
    } else if (type == &PyLong_Type) {
        put_int(body_, v);
    } else if (type == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(v);
        if (!std::isfinite(d))
            return false;
        put_float(body_, d);
    } else if (type == &PyBool_Type) {
        v == Py_True ? body_.put("true", 4) : body_.put("false", 5);
    } else if (type == PyDateTimeAPI->DateType) {
        put_date(body_, v);
    } else {
        return false;
    }
    return true;
}

// The values put_inert leaves, subclasses and everything else taking the slower isinstance-style
// checks.
Written CsvWriter::put_value(PyObject *v) {
    PyTypeObject *type = Py_TYPE(v);
    if (type == PyDateTimeAPI->DateTimeType)
        put_datetime(body_, v);
    else if (type == reinterpret_cast<PyTypeObject *>(decimal_type_.ptr()))
        return put_decimal(body_, v);
    else if (type == PyDateTimeAPI->TimeType)
        put_time(body_, v);
    else
        return put_other(v);
    return Written::ok;
}

Written CsvWriter::put_double(double d) {
    if (!std::isfinite(d))
        return Written::not_finite;
    put_float(body_, d);
    return Written::ok;
}

Written CsvWriter::put_other(PyObject *v) {
    if (PyUnicode_Check(v)) {
        put_text(body_, v);
    } else if (PyLong_Check(v)) {
        put_int(body_, v);
    } else if (PyFloat_Check(v)) {
        return put_double(PyFloat_AS_DOUBLE(v));
    } else if (PyDateTime_Check(v)) {
        put_datetime(body_, v);
    } else if (PyDate_Check(v)) {
        put_date(body_, v);
    } else if (PyTime_Check(v)) {
        put_time(body_, v);
    } else if (PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(decimal_type_.ptr()))) {
        return put_decimal(body_, v);
    } else if (PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v)) {
        put_bytes_like(body_, v);
    } else if (PyDict_Check(v) || PyList_Check(v)) {
        size_t start = body_.buf.size();
        Py_UCS4 maxchar = body_.maxchar;
        size_t continuation = body_.continuation;
        if (put_json(body_, v, 0)) {
            quote_if_needed(body_, start);
            return Written::ok;
        }
        body_.buf.truncate(start);
        body_.maxchar = maxchar;
        body_.continuation = continuation;
        if (!encode_json_) {
            // One encoder for the whole call: json.dumps with these options would build a new
            // one for every value.
            encode_json_ =
                kavrel::g("json")
                    .attr("JSONEncoder")(py::arg("separators") = py::make_tuple(",", ":"),
                                         py::arg("ensure_ascii") = false)
                    .attr("encode");
        }
        py::object text = encode_json_(py::handle(v));
        if (!PyUnicode_Check(text.ptr()))
            kavrel::raise(PyExc_TypeError, "JSONEncoder.encode() did not return a str");
        put_text(body_, text.ptr());
    } else {
        py::object text = py::reinterpret_steal<py::object>(PyObject_Str(v));
        if (!text)
            throw py::error_already_set();
        put_text(body_, text.ptr());
    }
    return Written::ok;
}

void CsvWriter::refuse_value(Written why, PyObject *value, Py_ssize_t column) {
    std::string where = std::string(py::repr(names_[static_cast<size_t>(column)])) + " holds " +
                        std::string(py::repr(py::handle(value))) + " in the record at index " +
                        std::to_string(record_);
    if (why == Written::not_finite)
        kavrel::raise(PyExc_ValueError,
                      "json_to_csv: column " + where + ": NaN and infinity have no CSV form");
    kavrel::raise(PyExc_ValueError,
                  "json_to_csv: column " + where +
                      ": its exponent is too large to write the number without one");
}

void CsvWriter::write_field(PyObject *value, Py_ssize_t column) {
    // The most frequent values are written without running any Python code, so their record
    // keeps them alive. Any other is held for the length of the conversion: str() or a tzinfo may
    // run code that drops it from its record.
    py::object held;
    Written written;
    try {
        if (put_inert(value))
            return;
        held = py::reinterpret_borrow<py::object>(value);
        written = put_value(value);
    } catch (py::error_already_set &e) {
        if (kavrel::is_ordinary_error(e))
            add_note(e, "while writing column " +
                            std::string(py::repr(names_[static_cast<size_t>(column)])) +
                            " of the record at index " + std::to_string(record_));
        throw;
    }
    if (written != Written::ok)
        refuse_value(written, value, column);
}

size_t CsvWriter::begin_row() {
    row_starts_.push_back(body_.buf.size());
    return body_.buf.size();
}

void CsvWriter::end_row(size_t start) {
    Py_ssize_t width = static_cast<Py_ssize_t>(names_.size());
    if (widths_.empty() || widths_.back().second != width)
        widths_.emplace_back(record_, width);
    // A line holding one empty field would read back as a blank line, i.e. as no row at all.
    if (width == 1 && body_.buf.size() == start)
        body_.put("\"\"", 2);
    body_.put("\r\n", 2);
}

// Writes the columns from `from` on out of their slots (empty for those the record lacks) and
// ends the row that began at `start`.
void CsvWriter::write_slots(size_t start, Py_ssize_t from) {
    Py_ssize_t width = static_cast<Py_ssize_t>(names_.size());
    for (Py_ssize_t column = from; column < width; ++column) {
        py::object &slot = row_[static_cast<size_t>(column)];
        if (column > 0)
            body_.put(',');
        if (slot) {
            write_field(slot.ptr(), column);
            slot = py::object();
        }
    }
    end_row(start);
}

py::str CsvWriter::finish() {
    Py_ssize_t width = static_cast<Py_ssize_t>(names_.size());
    Text header;
    for (Py_ssize_t column = 0; column < width; ++column) {
        if (column > 0)
            header.put(',');
        put_text(header, names_[static_cast<size_t>(column)].ptr());
    }
    if (width == 1 && header.buf.empty())
        header.put("\"\"", 2);
    header.put("\r\n", 2);

    Buffer padded;
    const Buffer *rows = &body_.buf;
    if (widths_.size() > 1) {
        // Rows written before the last columns appeared lack their (empty) fields.
        padded.reserve(body_.buf.size() + row_starts_.size() * static_cast<size_t>(width));
        size_t next_width = 0;
        Py_ssize_t row_width = 0;
        for (size_t row = 0; row < row_starts_.size(); ++row) {
            if (next_width < widths_.size() &&
                widths_[next_width].first == static_cast<Py_ssize_t>(row))
                row_width = widths_[next_width++].second;
            size_t begin = row_starts_[row];
            size_t end =
                (row + 1 < row_starts_.size() ? row_starts_[row + 1] : body_.buf.size()) - 2;
            bool no_fields =
                row_width == 0 || (row_width == 1 && end - begin == 2 &&
                                   std::memcmp(body_.buf.data() + begin, "\"\"", 2) == 0);
            if (no_fields) {
                padded.append(static_cast<size_t>(width - 1), ',');
            } else {
                padded.append(body_.buf.data() + begin, end - begin);
                padded.append(static_cast<size_t>(width - row_width), ',');
            }
            padded.append("\r\n", 2);
        }
        rows = &padded;
    }

    // Padding adds only commas, so the rows hold as many continuation bytes as the body.
    return to_str({&header.buf, rows}, header.chars() + rows->size() - body_.continuation,
                  std::max(header.maxchar, body_.maxchar));
}

py::str CsvWriter::run(const py::object &records) {
    PyObject *r = records.ptr();
    int is_mapping = 0;
    if (!PyDict_Check(r) && !PyUnicode_Check(r) && !PyBytes_Check(r) && !PyByteArray_Check(r)) {
        mapping_type_ = kavrel::g("Mapping");
        is_mapping = PyObject_IsInstance(r, mapping_type_.ptr());
        if (is_mapping < 0)
            throw py::error_already_set();
    }
    if (PyDict_Check(r) || PyUnicode_Check(r) || PyBytes_Check(r) || PyByteArray_Check(r) ||
        is_mapping || (Py_TYPE(r)->tp_iter == nullptr && !PySequence_Check(r))) {
        kavrel::raise(PyExc_TypeError, "json_to_csv: records must be a sequence of mappings, not " +
                                           kavrel::type_name(records));
    }
    // A private tuple: the caller's list cannot change under us while values are written.
    py::tuple rows = PyTuple_CheckExact(r) ? py::reinterpret_borrow<py::tuple>(records)
                                           : py::reinterpret_steal<py::tuple>(PySequence_Tuple(r));
    if (!rows)
        throw py::error_already_set();
    Py_ssize_t count = PyTuple_GET_SIZE(rows.ptr());
    if (count == 0)
        return py::str("");
    decimal_type_ = kavrel::g("Decimal");
    if (!PyType_Check(decimal_type_.ptr()))
        kavrel::raise(PyExc_TypeError, "kavrel.util.csv.Decimal must be a type");
    const Py_ssize_t sample = 64;
    body_.buf.reserve(static_cast<size_t>(std::min(count, sample)) * 256);
    row_starts_.reserve(static_cast<size_t>(count));
    for (record_ = 0; record_ < count; ++record_) {
        add_record(PyTuple_GET_ITEM(rows.ptr(), record_));
        if (record_ == sample - 1 && count > sample) {
            // Room for the rest at the sampled rows' average length, plus a margin.
            double estimate =
                static_cast<double>(body_.buf.size()) / sample * 1.125 * static_cast<double>(count);
            if (estimate < static_cast<double>(std::numeric_limits<size_t>::max() / 4))
                body_.buf.reserve(static_cast<size_t>(estimate));
        }
    }
    // Records without a single key leave nothing to load.
    if (names_.empty())
        return py::str("");
    return finish();
}

// ---------------------------------------------------------------------------------------------
// Public function

py::str json_to_csv(const py::object &records) { return CsvWriter().run(records); }

} // namespace

// ---------------------------------------------------------------------------------------------
// Module init

PYBIND11_MODULE(csv, m) {
    kavrel::bind_module_globals(m);
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr)
        throw py::error_already_set();
    m.doc() = "CSV text of job records, as Bulk API 2.0 ingest jobs take it.";
    kavrel::set_global("json", py::module_::import("json"));
    kavrel::set_global("Mapping", py::module_::import("collections.abc").attr("Mapping"));
    kavrel::set_global("Decimal", py::module_::import("decimal").attr("Decimal"));

    kavrel::def(
        m, "json_to_csv", {"records"}, &json_to_csv,
        "The CSV text of `records`, a sequence of mappings (column -> value).\n"
        "\n"
        "The header is the union of the records' keys in first-seen order (keys that are not\n"
        "str are written as str(key)); a record lacking a column gets an empty field. Fields\n"
        "holding a comma, a double quote, CR or LF are quoted with inner quotes doubled; every\n"
        "line ends with CRLF. Values: None empty; str as is; bool true/false; int decimal;\n"
        "float shortest round-trip (NaN and infinity raise ValueError); Decimal plain notation;\n"
        "date YYYY-MM-DD; datetime YYYY-MM-DDTHH:MM:SS.sss+HH:MM (naive ones are UTC, written\n"
        "with Z; aware UTC ones with +00:00); time HH:MM:SS.sssZ; bytes base64; dict and list\n"
        "compact JSON; anything else str(value). No records, or records without keys, give \"\".");
}
