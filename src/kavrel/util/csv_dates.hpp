// Dates, datetimes and times as their CSV fields (ISO 8601, milliseconds, UTC marked Z).
#pragma once

#include "csv_buffer.hpp"

#include <datetime.h>

#include <cstdint>

// Included by csv.cpp alone: the internal linkage keeps the compiler as free to inline across
// these pieces as when they were one file.
namespace {
namespace py = pybind11;

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
            shifted = kavrel::checked(PyNumber_Subtract(v, delta.ptr()));
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

} // namespace
