// Rows to records for the module's own load operations: each warehouse row's `asDict()` as the
// job's record, with None written as "". This is the hot path of every batch those operations
// read through `session.sql(...).collect()`.
#pragma once

#include "_pyglue.hpp"

#include <string>
#include <utility>

namespace kavrel::vantro {
namespace py = pybind11;

// `key, value = item`, with the interpreter's unpacking errors.
inline std::pair<py::object, py::object> unpack_pair(const py::handle &item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2)
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 1))};
    PyObject *raw_iterator = PyObject_GetIter(item.ptr());
    if (raw_iterator == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError, "cannot unpack non-iterable " + type_name(item) + " object");
    }
    py::object iterator = py::reinterpret_steal<py::object>(raw_iterator);
    py::object parts[3];
    int found = 0;
    for (; found < 3; ++found) {
        PyObject *next = PyIter_Next(iterator.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred())
                throw py::error_already_set();
            break;
        }
        parts[found] = py::reinterpret_steal<py::object>(next);
    }
    if (found < 2)
        raise(PyExc_ValueError,
              "not enough values to unpack (expected 2, got " + std::to_string(found) + ")");
    if (found > 2)
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {parts[0], parts[1]};
}

// The record of one row: the row's `asDict()` in its own order, with `None` written as "" and
// every other value shared unchanged. An exact dict is taken whole (its keys, order and table
// size as they are; copied unless nobody else holds it) and only its None slots are rewritten;
// any other mapping goes through `items()`.
struct RecordMaker {
    py::str empty{""};
    py::str as_dict{"asDict"};
    py::str items{"items"};

    py::object operator()(const py::handle &row) const {
        py::object mapping = checked(PyObject_CallMethodNoArgs(row.ptr(), as_dict.ptr()));
        if (PyDict_CheckExact(mapping.ptr())) {
            // A dict that only this loop references cannot be seen by anyone else, so it can
            // become the record itself instead of being copied.
            py::object record =
                Py_REFCNT(mapping.ptr()) == 1 ? mapping : checked(PyDict_Copy(mapping.ptr()));
            PyObject *key = nullptr;
            PyObject *value = nullptr;
            Py_ssize_t position = 0;
            while (PyDict_Next(mapping.ptr(), &position, &key, &value))
                if (value == Py_None && PyDict_SetItem(record.ptr(), key, empty.ptr()) != 0)
                    throw py::error_already_set();
            return record;
        }
        py::object record = checked(PyDict_New());
        py::object pairs = checked(PyObject_CallMethodNoArgs(mapping.ptr(), items.ptr()));
        py::object pair_iterator = checked(PyObject_GetIter(pairs.ptr()));
        while (PyObject *raw_pair = PyIter_Next(pair_iterator.ptr())) {
            py::object pair = py::reinterpret_steal<py::object>(raw_pair);
            auto [key, value] = unpack_pair(pair);
            const py::handle stored = value.is_none() ? py::handle(empty) : py::handle(value);
            if (PyDict_SetItem(record.ptr(), key.ptr(), stored.ptr()) != 0)
                throw py::error_already_set();
        }
        if (PyErr_Occurred())
            throw py::error_already_set();
        return record;
    }
};

// Two columns of one name would become one field of the record, and the other column's data
// would be lost without a word. A row that names its columns (`_fields`, as warehouse rows do)
// tells for all; `DuplicateColumns` (a module global) is raised with the repeated names.
inline void refuse_repeated_columns(const py::handle &row) {
    py::object fields = py::getattr(row, "_fields", py::none());
    if (fields.is_none())
        return;
    py::set seen;
    py::list repeated;
    for (py::handle name : fields) {
        if (seen.contains(name)) {
            bool listed = false;
            for (py::handle known : repeated)
                listed = listed || py_equal(known, name);
            if (!listed)
                repeated.append(name);
        }
        seen.add(name);
    }
    if (py::len(repeated) > 0)
        raise_instance(g("DuplicateColumns")(repeated));
}

// The job record set of the collected rows, in their order. When the rows are a list that
// nothing else holds, each row is let go as soon as its record is made, so a batch's rows and
// its records are not held in full at the same time.
inline py::list rows_to_records(py::object results) {
    const RecordMaker record_of;
    py::list records;
    if (PyList_CheckExact(results.ptr()) && Py_REFCNT(results.ptr()) == 1) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results.ptr()); ++i) {
            py::object row = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(results.ptr(), i));
            if (i == 0)
                refuse_repeated_columns(row);
            if (PyList_SetItem(results.ptr(), i, py::none().release().ptr()) != 0)
                throw py::error_already_set();
            if (PyList_Append(records.ptr(), record_of(row).ptr()) != 0)
                throw py::error_already_set();
        }
        return records;
    }
    py::object rows = checked(PyObject_GetIter(results.ptr()));
    while (PyObject *next = PyIter_Next(rows.ptr())) {
        py::object row = py::reinterpret_steal<py::object>(next);
        if (PyList_GET_SIZE(records.ptr()) == 0)
            refuse_repeated_columns(row);
        if (PyList_Append(records.ptr(), record_of(row).ptr()) != 0)
            throw py::error_already_set();
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    return records;
}

} // namespace kavrel::vantro
