// Numbers as their CSV fields: ints of any size, floats as repr() writes them, Decimals in plain
// notation.
#pragma once

#include "csv_buffer.hpp"

#include <charconv>
#include <cstring>
#include <string>

// Floats are written with std::to_chars, which every supported toolchain (GCC 11 on) has for
// double; a toolchain without it should stop here, not fall back to something slower.
#if !defined(__cpp_lib_to_chars) || __cpp_lib_to_chars < 201611L
#error "kavrel.util.csv needs std::to_chars for double (GCC 11 or newer)"
#endif

// Included by csv.cpp alone: the internal linkage keeps the compiler as free to inline across
// these pieces as when they were one file.
namespace {
namespace py = pybind11;

// A Decimal whose exponent lies beyond this would take that many digits in plain notation: far
// beyond any number field, and at the extreme gigabytes of zeros. Same bound as Python's own limit
// for turning an int into text.
constexpr long kMaxPlainDecimalExponent = 4300;

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
    py::object text = kavrel::checked(PyNumber_ToBase(v, 10));
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
}

enum class Written { ok, not_finite, too_long, interval };

// A Decimal in plain notation. str() already gives it for the usual exponents; only the exponent
// form needs format(d, "f"), after a check that the plain form stays a sane length.
Written put_decimal(Text &out, PyObject *v) {
    py::object text = kavrel::str_of(v);
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
    py::object plain = kavrel::formatted(v, "f");
    put_text(out, plain.ptr());
    return Written::ok;
}

} // namespace
