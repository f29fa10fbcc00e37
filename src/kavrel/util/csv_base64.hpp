// Bytes-like values as their base64 text.
#pragma once

#include "csv_buffer.hpp"

#include <cstddef>

// Included by csv.cpp alone: the internal linkage keeps the compiler as free to inline across
// these pieces as when they were one file.
namespace {
namespace py = pybind11;

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
        py::object copy = kavrel::checked(PyBytes_FromObject(v));
        put_bytes_like(out, copy.ptr());
    }
}

} // namespace
