// Extension module kavrel.util.csv: the CSV text of a job's records, in the form the ingest jobs
// take it (RFC 4180 quoting, CRLF after every line, UTF-8 without a byte-order mark).
//
// This runs on every batch of every load, so the common values (text, integers, floats, booleans,
// None, dates and times) are written straight into one UTF-8 buffer without calling back into
// Python; only the rare ones (Decimal in exponent form, JSON, arbitrary objects) go through Python
// calls. The text becomes a Python str once, at the end.
#include "_pyglue.hpp"

#include <datetime.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// UTF-8 text under construction. `ascii` stays true while every byte is ASCII, which lets the final
// str be made by a plain copy instead of a UTF-8 decode.
struct Text {
    std::string buf;
    bool ascii = true;

    void put(char c) { buf.push_back(c); }
    void put(const char *p, size_t n) { buf.append(p, n); }
    // Room for `n` bytes at the end; the caller fills them and trims with `trim`.
    char *grow(size_t n) {
        size_t start = buf.size();
        buf.resize(start + n);
        return &buf[start];
    }
    void trim(const char *end) { buf.resize(static_cast<size_t>(end - buf.data())); }
};

inline bool needs_quotes(char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; }

// The field written since `start` gets RFC 4180 quotes when it holds a comma, a quote, CR or LF.
// Quoting is rare, so fields are written bare first and fixed up here only when needed.
void quote_if_needed(Text &out, size_t start) {
    const char *p = out.buf.data() + start;
    const char *end = out.buf.data() + out.buf.size();
    while (p != end && !needs_quotes(*p))
        ++p;
    if (p == end)
        return;
    std::string field(out.buf, start);
    out.buf.resize(start);
    out.put('"');
    const char *q = field.data();
    const char *field_end = q + field.size();
    for (const char *quote; (quote = static_cast<const char *>(std::memchr(
                                 q, '"', static_cast<size_t>(field_end - q)))) != nullptr;
         q = quote + 1) {
        out.put(q, static_cast<size_t>(quote - q) + 1);
        out.put('"');
    }
    out.put(q, static_cast<size_t>(field_end - q));
    out.put('"');
}

// Appends the UTF-8 form of `n` code points of one width. False for a lone surrogate, which has
// no UTF-8 form (the caller raises Python's own UnicodeEncodeError for it).
template <typename Char> bool put_utf8(Text &out, const Char *s, Py_ssize_t n) {
    char *d = out.grow(static_cast<size_t>(n) * (sizeof(Char) == 1   ? 2
                                                 : sizeof(Char) == 2 ? 3
                                                                     : 4));
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
    out.trim(d);
    return true;
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
        out.ascii = false;
        switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            encoded = put_utf8(out, PyUnicode_1BYTE_DATA(s), n);
            break;
        case PyUnicode_2BYTE_KIND:
            encoded = put_utf8(out, PyUnicode_2BYTE_DATA(s), n);
            break;
        default:
            encoded = put_utf8(out, PyUnicode_4BYTE_DATA(s), n);
            break;
        }
    }
    if (!encoded) {
        out.buf.resize(start);
        py::object raises = py::reinterpret_steal<py::object>(PyUnicode_AsUTF8String(s));
        throw py::error_already_set();
    }
    quote_if_needed(out, start);
}

void put_ascii(Text &out, const py::handle &s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p == nullptr)
        throw py::error_already_set();
    out.put(p, static_cast<size_t>(n));
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
    put_ascii(out, text);
}

// A finite float exactly as Python's repr() writes it: the shortest digits that read back as the
// same float, in exponent form when the decimal exponent is below -4 or at least 16, otherwise
// positional with at least one digit after the point.
void put_float(Text &out, double v) {
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    // Shortest round-trip digits in the form "[-]d[.ddd]e±XX".
    char sci[40];
    char *sci_end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    const char *e = static_cast<const char *>(std::memchr(sci, 'e', sizeof sci));
    int exponent = 0;
    std::from_chars(e + 2, sci_end, exponent);
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
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (p == nullptr)
        throw py::error_already_set();
    const char *body = (n > 0 && p[0] == '-') ? p + 1 : p;
    if (body < p + n && (*body == 'N' || *body == 's' || *body == 'I'))
        return Written::not_finite; // NaN, sNaN, Infinity
    const char *e = static_cast<const char *>(std::memchr(p, 'E', static_cast<size_t>(n)));
    if (e == nullptr) {
        out.put(p, static_cast<size_t>(n));
        return Written::ok;
    }
    const char *exp_begin = e + 1;
    const char *exp_end = p + n;
    if (exp_begin != exp_end && (*exp_begin == '+' || *exp_begin == '-'))
        ++exp_begin;
    if (exp_end - exp_begin > 9)
        return Written::too_long;
    long magnitude = 0;
    std::from_chars(exp_begin, exp_end, magnitude);
    if (magnitude > kMaxPlainDecimalExponent)
        return Written::too_long;
    py::object plain = py::reinterpret_steal<py::object>(PyObject_Format(v, py::str("f").ptr()));
    if (!plain)
        throw py::error_already_set();
    put_ascii(out, plain);
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
// One conversion

class CsvWriter {
public:
    py::str run(const py::object &records);

private:
    void add_record(PyObject *record);
    void place(PyObject *key, PyObject *value, Py_ssize_t position);
    Py_ssize_t column_of(PyObject *key);
    void write_row();
    Written put_value(PyObject *v);
    [[noreturn]] void refuse_value(Written why, Py_ssize_t column);
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
    py::object decimal_type_, mapping_type_, dumps_;
    py::dict dumps_options_;
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

// Puts one value of the current record into its column's slot. Keys usually arrive as the very
// objects, in the very order, of the columns already known, which settles most without a lookup.
void CsvWriter::place(PyObject *key, PyObject *value, Py_ssize_t position) {
    py::object held_key = py::reinterpret_borrow<py::object>(key);
    py::object held_value = py::reinterpret_borrow<py::object>(value);
    Py_ssize_t column = position < static_cast<Py_ssize_t>(names_.size()) &&
                                key == names_[static_cast<size_t>(position)].ptr()
                            ? position
                            : column_of(key);
    py::object &slot = row_[static_cast<size_t>(column)];
    if (slot) {
        kavrel::raise(PyExc_ValueError,
                      "json_to_csv: the record at index " + std::to_string(record_) +
                          " has two keys for the column " +
                          std::string(py::repr(names_[static_cast<size_t>(column)])));
    }
    slot = std::move(held_value);
}

void CsvWriter::add_record(PyObject *record) {
    if (PyDict_CheckExact(record)) {
        Py_ssize_t pos = 0, position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(record, &pos, &key, &value))
            place(key, value, position++);
    } else {
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
            place(PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1), position++);
        }
    }
    write_row();
}

Written CsvWriter::put_value(PyObject *v) {
    if (PyUnicode_CheckExact(v)) {
        put_text(body_, v);
    } else if (v == Py_None) {
    } else if (PyLong_CheckExact(v)) {
        put_int(body_, v);
    } else if (PyFloat_Check(v)) {
        double d = PyFloat_AS_DOUBLE(v);
        if (!std::isfinite(d))
            return Written::not_finite;
        put_float(body_, d);
    } else if (PyBool_Check(v)) {
        if (v == Py_True)
            body_.put("true", 4);
        else
            body_.put("false", 5);
    } else if (PyDateTime_Check(v)) {
        put_datetime(body_, v);
    } else if (PyDate_Check(v)) {
        put_date(body_, v);
    } else if (PyTime_Check(v)) {
        put_time(body_, v);
    } else if (PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(decimal_type_.ptr()))) {
        return put_decimal(body_, v);
    } else if (PyUnicode_Check(v)) {
        put_text(body_, v);
    } else if (PyLong_Check(v)) {
        put_int(body_, v);
    } else if (PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v)) {
        put_bytes_like(body_, v);
    } else if (PyDict_Check(v) || PyList_Check(v)) {
        if (!dumps_) {
            dumps_ = kavrel::g("json").attr("dumps");
            dumps_options_["separators"] = py::make_tuple(",", ":");
            dumps_options_["ensure_ascii"] = false;
        }
        py::object text = dumps_(py::handle(v), **dumps_options_);
        if (!PyUnicode_Check(text.ptr()))
            kavrel::raise(PyExc_TypeError, "json.dumps() did not return a str");
        put_text(body_, text.ptr());
    } else {
        py::object text = py::reinterpret_steal<py::object>(PyObject_Str(v));
        if (!text)
            throw py::error_already_set();
        put_text(body_, text.ptr());
    }
    return Written::ok;
}

void CsvWriter::refuse_value(Written why, Py_ssize_t column) {
    py::object value = row_[static_cast<size_t>(column)];
    std::string where = std::string(py::repr(names_[static_cast<size_t>(column)])) + " holds " +
                        std::string(py::repr(value)) + " in the record at index " +
                        std::to_string(record_);
    if (why == Written::not_finite)
        kavrel::raise(PyExc_ValueError,
                      "json_to_csv: column " + where + ": NaN and infinity have no CSV form");
    kavrel::raise(PyExc_ValueError,
                  "json_to_csv: column " + where +
                      ": its exponent is too large to write the number without one");
}

void CsvWriter::write_row() {
    Py_ssize_t width = static_cast<Py_ssize_t>(names_.size());
    if (widths_.empty() || widths_.back().second != width)
        widths_.emplace_back(record_, width);
    size_t start = body_.buf.size();
    row_starts_.push_back(start);
    for (Py_ssize_t column = 0; column < width; ++column) {
        py::object &slot = row_[static_cast<size_t>(column)];
        if (column > 0)
            body_.put(',');
        if (!slot)
            continue;
        Written written;
        try {
            written = put_value(slot.ptr());
        } catch (py::error_already_set &e) {
            if (kavrel::is_ordinary_error(e))
                add_note(e, "while writing column " +
                                std::string(py::repr(names_[static_cast<size_t>(column)])) +
                                " of the record at index " + std::to_string(record_));
            throw;
        }
        if (written != Written::ok)
            refuse_value(written, column);
        slot = py::object();
    }
    // A line holding one empty field would read back as a blank line, i.e. as no row at all.
    if (width == 1 && body_.buf.size() == start)
        body_.put("\"\"", 2);
    body_.put("\r\n", 2);
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

    std::string padded;
    const std::string *rows = &body_.buf;
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
            bool no_fields = row_width == 0 || (row_width == 1 && end - begin == 2 &&
                                                body_.buf.compare(begin, 2, "\"\"") == 0);
            if (no_fields) {
                padded.append(static_cast<size_t>(width - 1), ',');
            } else {
                padded.append(body_.buf, begin, end - begin);
                padded.append(static_cast<size_t>(width - row_width), ',');
            }
            padded.append("\r\n", 2);
        }
        rows = &padded;
    }

    size_t size = header.buf.size() + rows->size();
    if (header.ascii && body_.ascii) {
        py::str result =
            py::reinterpret_steal<py::str>(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
        if (!result)
            throw py::error_already_set();
        char *d = static_cast<char *>(PyUnicode_DATA(result.ptr()));
        std::memcpy(d, header.buf.data(), header.buf.size());
        std::memcpy(d + header.buf.size(), rows->data(), rows->size());
        return result;
    }
    std::string whole;
    whole.reserve(size);
    whole.append(header.buf).append(*rows);
    py::str result = py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(whole.data(), static_cast<Py_ssize_t>(whole.size()), "strict"));
    if (!result)
        throw py::error_already_set();
    return result;
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
    body_.buf.reserve(static_cast<size_t>(count) * 128);
    row_starts_.reserve(static_cast<size_t>(count));
    for (record_ = 0; record_ < count; ++record_)
        add_record(PyTuple_GET_ITEM(rows.ptr(), record_));
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

    py::options options;
    options.disable_function_signatures();
    m.def(
        "json_to_csv", &json_to_csv, py::arg("records"),
        "json_to_csv(records) -> str\n"
        "\n"
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
