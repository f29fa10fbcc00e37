// Extension module kavrel.util.csv: the CSV text of a job's records, in the form the ingest jobs
// take it (RFC 4180 quoting, CRLF after every line, UTF-8 without a byte-order mark).
//
// This runs on every batch of every load, so the common values (text, integers, floats, booleans,
// None, dates and times) are written straight into one UTF-8 buffer without calling back into
// Python; only the rare ones (Decimal in exponent form, JSON, arbitrary objects) go through Python
// calls. The text becomes a Python str once, at the end.
#include "csv_base64.hpp"
#include "csv_buffer.hpp"
#include "csv_dates.hpp"
#include "csv_fingerprint.hpp"
#include "csv_json.hpp"
#include "csv_numbers.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {
namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// One conversion

class CsvWriter {
public:
    py::str run(const py::object &records);
    py::str run_rows(const py::object &header, const py::object &rows, const py::object &nulls);
    py::list fingerprint_rows(const py::object &header, const py::object &rows,
                              const py::object &nulls, Py_ssize_t key);

private:
    void add_record(PyObject *record);
    void add_row(PyObject *row);
    void take_header(const py::object &header);
    void take_nulls(const py::object &nulls);
    void write_rows(const py::object &header, const py::object &rows, const py::object &nulls);
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
    std::vector<py::object> nulls_; // rows_to_csv: the text of a None by column; empty = ""
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
        name = kavrel::str_of(key);
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
        py::object items = kavrel::checked(PyMapping_Items(record));
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
    } else if (PyDelta_Check(v)) {
        // Salesforce has no field for a length of time, and str() gives "3 days, 0:00:00",
        // which no field reads back as what it was.
        return Written::interval;
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
        py::object text = kavrel::str_of(v);
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
    if (why == Written::interval)
        kavrel::raise(PyExc_ValueError,
                      "json_to_csv: column " + where +
                          ": an interval has no CSV form that a Salesforce field reads; convert "
                          "it in the query (to a number of seconds, or text)");
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
// Rows of a known header

// The header's names, as json_to_csv would name the same keys. Repeated names are refused: the
// file would give two fields one name, and Salesforce would keep one of them.
void CsvWriter::take_header(const py::object &header) {
    py::object names = kavrel::checked(PySequence_Fast(header.ptr(), "header must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(names.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *name = PySequence_Fast_GET_ITEM(names.ptr(), i);
        Py_ssize_t known = static_cast<Py_ssize_t>(names_.size());
        if (column_of(name) != known)
            kavrel::raise(PyExc_ValueError, "rows_to_csv: the header names the column " +
                                                std::string(py::repr(py::handle(name))) + " twice");
    }
    if (names_.empty())
        kavrel::raise(PyExc_ValueError, "rows_to_csv: the header names no column");
}

void CsvWriter::take_nulls(const py::object &nulls) {
    nulls_.assign(names_.size(), py::object());
    if (nulls.is_none())
        return;
    py::object texts = kavrel::checked(PySequence_Fast(nulls.ptr(), "nulls must be a sequence"));
    if (PySequence_Fast_GET_SIZE(texts.ptr()) != static_cast<Py_ssize_t>(names_.size()))
        kavrel::raise(PyExc_ValueError, "rows_to_csv: nulls must give one text per column");
    for (size_t i = 0; i < names_.size(); ++i) {
        PyObject *text = PySequence_Fast_GET_ITEM(texts.ptr(), static_cast<Py_ssize_t>(i));
        if (text == Py_None)
            continue;
        if (!PyUnicode_Check(text))
            kavrel::raise(PyExc_TypeError,
                          "rows_to_csv: nulls must be str or None, not " + kavrel::type_name(text));
        nulls_[i] = py::reinterpret_borrow<py::object>(text);
    }
}

// One row: its values by position, exactly one per column.
void CsvWriter::add_row(PyObject *row) {
    py::object values = kavrel::checked(PySequence_Fast(row, "rows must be sequences of values"));
    const Py_ssize_t width = static_cast<Py_ssize_t>(names_.size());
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(values.ptr());
    if (size != width)
        kavrel::raise(PyExc_ValueError, "rows_to_csv: the row at index " + std::to_string(record_) +
                                            " has " + std::to_string(size) + " values for " +
                                            std::to_string(width) + " columns");
    size_t start = begin_row();
    PyObject **items = PySequence_Fast_ITEMS(values.ptr());
    for (Py_ssize_t column = 0; column < width; ++column) {
        if (column > 0)
            body_.put(',');
        const py::object &null_text = nulls_[static_cast<size_t>(column)];
        if (items[column] == Py_None && null_text)
            put_text(body_, null_text.ptr());
        else
            write_field(items[column], column);
    }
    end_row(start);
}

void CsvWriter::write_rows(const py::object &header, const py::object &rows,
                           const py::object &nulls) {
    take_header(header);
    take_nulls(nulls);
    decimal_type_ = kavrel::g("Decimal");
    if (!PyType_Check(decimal_type_.ptr()))
        kavrel::raise(PyExc_TypeError, "kavrel.util.csv.Decimal must be a type");
    py::object iterator = kavrel::checked(PyObject_GetIter(rows.ptr()));
    record_ = 0;
    while (PyObject *next = PyIter_Next(iterator.ptr())) {
        py::object row = py::reinterpret_steal<py::object>(next);
        add_row(row.ptr());
        ++record_;
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
}

py::str CsvWriter::run_rows(const py::object &header, const py::object &rows,
                            const py::object &nulls) {
    write_rows(header, rows, nulls);
    if (record_ == 0)
        return py::str("");
    return finish();
}

// Each row's (key, fingerprint): the text of its field `key` and the fingerprint of the header
// line followed by the row's line, both as rows_to_csv writes them, so a row fingerprints the
// same whenever its CSV would read the same, and differently under other columns or NULL texts.
py::list CsvWriter::fingerprint_rows(const py::object &header, const py::object &rows,
                                     const py::object &nulls, Py_ssize_t key) {
    write_rows(header, rows, nulls);
    if (key < 0 || key >= static_cast<Py_ssize_t>(names_.size()))
        kavrel::raise(PyExc_ValueError, "row_fingerprints: the key is not a column of the header");
    Text header_line;
    for (size_t column = 0; column < names_.size(); ++column) {
        if (column > 0)
            header_line.put(',');
        put_text(header_line, names_[column].ptr());
    }
    Fingerprint under_header;
    under_header.add(header_line.buf.data(), header_line.buf.size());
    under_header.add("\r\n", 2);
    py::list found;
    const char *body = body_.buf.data();
    for (size_t row = 0; row < row_starts_.size(); ++row) {
        const size_t begin = row_starts_[row];
        const size_t end =
            (row + 1 < row_starts_.size() ? row_starts_[row + 1] : body_.buf.size()) - 2;
        Fingerprint print = under_header;
        print.add(body + begin, end - begin);
        const std::string field = csv_field(body + begin, end - begin, static_cast<size_t>(key));
        py::object key_text = kavrel::checked(
            PyUnicode_DecodeUTF8(field.data(), static_cast<Py_ssize_t>(field.size()), "strict"));
        found.append(py::make_tuple(key_text, py::str(print.hex())));
    }
    return found;
}

// ---------------------------------------------------------------------------------------------
// Public function

py::str json_to_csv(const py::object &records) { return CsvWriter().run(records); }

py::str rows_to_csv(const py::object &header, const py::object &rows, const py::object &nulls) {
    return CsvWriter().run_rows(header, rows, nulls);
}

py::list row_fingerprints(const py::object &header, const py::object &rows, const py::object &key,
                          const py::object &nulls) {
    if (!PyLong_CheckExact(key.ptr()))
        kavrel::refuse_argument("key", "an int", key);
    return CsvWriter().fingerprint_rows(header, rows, nulls, key.cast<Py_ssize_t>());
}

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
        "compact JSON; timedelta (no field reads it) raises ValueError; anything else\n"
        "str(value). No records, or records without keys, give \"\".");
    kavrel::def(
        m, "rows_to_csv", {"header", "rows", {"nulls", py::none()}}, &rows_to_csv,
        "The CSV text of `rows` (sequences of values, one per column of `header`).\n"
        "\n"
        "The same text json_to_csv gives for the records {header[i]: row[i]}, without making\n"
        "them: values are written as json_to_csv writes them. `nulls`, when given, holds for\n"
        "each column the text written for a None (None there: an empty field). A header that\n"
        "repeats a name, or a row of another width, is a ValueError. No rows give \"\".");
    kavrel::def(
        m, "row_fingerprints", {"header", "rows", "key", {"nulls", py::none()}}, &row_fingerprints,
        "[(key, fingerprint)] for each of `rows`, as rows_to_csv(header, rows, nulls) writes it.\n"
        "\n"
        "key is the text of the row's field at position `key` as csv.reader reads it back;\n"
        "fingerprint is 32 hex digits of a 128-bit hash of the header line and the row's line,\n"
        "so that two rows fingerprint alike exactly when their CSV lines (under the same\n"
        "header) are the same, but for a chance of about 2**-128.");
}
