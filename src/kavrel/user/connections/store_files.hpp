// The store's files: whole-file writes that replace the old file only once complete, the
// temporary files of killed saves, and the lock every read-change-write holds.
#pragma once

#include "store_basics.hpp"

#include <cerrno>
#include <cstddef>
#include <sys/stat.h>

// Included by manager.cpp alone: the internal linkage keeps these pieces as one module's code.
namespace {

// ---------------------------------------------------------------------------------------------
// Files

void close_quietly(const py::object &closable, const py::object &fd) {
    try {
        if (!closable.is_none())
            closable.attr("close")();
        else
            g("os").attr("close")(fd);
    } catch (py::error_already_set &e) {
        if (!kavrel::is_ordinary_error(e))
            throw;
    }
}

void remove_quietly(const py::object &path) {
    try {
        g("os").attr("unlink")(path);
    } catch (py::error_already_set &e) {
        if (!kavrel::is_ordinary_error(e))
            throw;
    }
}

// Far above any settings file a person keeps (a profile takes a few hundred bytes): reading stops
// there, so a file that never ends cannot fill the memory.
const Py_ssize_t LARGEST_SETTINGS_FILE = 16 * 1024 * 1024;

mode_t mode_of(const py::handle &status) {
    return static_cast<mode_t>(status.attr("st_mode").cast<unsigned long>());
}

// What a file of `status` is when it is neither a regular file nor a directory; nullptr else.
const char *special_file_kind(const py::handle &status) {
    const mode_t mode = mode_of(status);
    if (S_ISREG(mode) || S_ISDIR(mode))
        return nullptr;
    if (S_ISFIFO(mode))
        return "a named pipe (FIFO)";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a special file";
}

// Settings live in regular files, or behind symbolic links to them: a named pipe would hold every
// command until something writes to it, a device may never end, and a save would put a file in
// the place of either. A directory is left to the system's own error.
void refuse_special_file(const py::object &path, const py::handle &status) {
    const char *kind = special_file_kind(status);
    if (kind == nullptr)
        return;
    py::object os_path = g("os").attr("path");
    py::str link =
        kavrel::truthy(os_path.attr("islink")(path))
            ? cat({py::str(" (a link to "), os_path.attr("realpath")(path), py::str(")")})
            : py::str("");
    kavrel::raise(PyExc_ValueError,
                  cat({py::str(path), link, py::str(" is "), py::str(kind),
                       py::str(", not a regular file: kavrel keeps its settings only in regular "
                               "files (a symbolic link to one is fine)")}));
}

[[noreturn]] void raise_is_a_directory(const py::object &path) {
    errno = EISDIR;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, py::str(path).ptr());
    throw py::error_already_set();
}

// The bytes of the settings file `path`, read whole. The checks look at the descriptor that is
// read: it is opened without waiting (opening a named pipe waits for a writer), refused unless it
// is a regular file, and read no further than LARGEST_SETTINGS_FILE.
py::object read_settings_file(const py::object &path) {
    py::object os = g("os");
    py::object fd = os.attr("open")(path, os.attr("O_RDONLY") | os.attr("O_NONBLOCK"));
    py::object file = py::none();
    try {
        py::object status = os.attr("fstat")(fd);
        refuse_special_file(path, status);
        if (S_ISDIR(mode_of(status)))
            raise_is_a_directory(path);
        file = g("open")(fd, "rb");
        py::object data = file.attr("read")(LARGEST_SETTINGS_FILE + 1);
        file.attr("close")();
        if (py::len(data) > static_cast<std::size_t>(LARGEST_SETTINGS_FILE))
            kavrel::raise(PyExc_ValueError,
                          cat({py::str(path), py::str(" is larger than "),
                               kavrel::grouped(py::int_(LARGEST_SETTINGS_FILE)),
                               py::str(" bytes, far more than any settings kavrel writes: it "
                                       "was not read")}));
        return data;
    } catch (...) {
        close_quietly(file, fd);
        throw;
    }
}

// `os.stat(path)`, or None when nothing is there.
py::object status_if_exists(const py::object &path) {
    try {
        return g("os").attr("stat")(path);
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_FileNotFoundError))
            return py::none();
        throw;
    }
}

// Makes a completed rename survive a crash; file systems that cannot sync a directory are
// left to their own guarantees.
void sync_directory(const py::object &directory) {
    py::object os = g("os");
    try {
        py::object fd = os.attr("open")(directory, os.attr("O_RDONLY"));
        try {
            os.attr("fsync")(fd);
        } catch (py::error_already_set &e) {
            os.attr("close")(fd);
            if (!e.matches(PyExc_OSError))
                throw;
            return;
        }
        os.attr("close")(fd);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError))
            throw;
    }
}

// Temporary files are named ".<target name>.tmp-<pid>-<random>", so a later save can tell those of
// killed processes (each holds every secret) from those of a save under way.
py::str temporary_prefix(const py::object &target) {
    return cat({py::str("."), target.attr("name"), py::str(".tmp-"), g("os").attr("getpid")(),
                py::str("-")});
}

// The file a write replaces: the target of a symbolic link (a connections file kept in a dotfiles
// repository stays a link), else the path itself.
py::object write_target(const py::object &path) {
    py::object os_path = g("os").attr("path");
    if (kavrel::truthy(os_path.attr("islink")(path)))
        return as_path(os_path.attr("realpath")(path));
    return as_path(path);
}

// Writes `path` whole through `write(f)` (f: a UTF-8 text file, or a binary one): into a temporary
// file in the same directory, synced, then renamed over `path`. On any failure the old file stays
// as it was and the temporary file is removed. A new file is readable by its owner only; an
// existing file keeps its mode.
template <class Write>
void write_atomically(const py::object &path, Write write, bool binary = false) {
    py::object os = g("os");
    py::object target = write_target(path);
    py::object existing = status_if_exists(target);
    if (!existing.is_none())
        refuse_special_file(target, existing);
    py::object directory = target.attr("parent");
    py::tuple made = g("tempfile")
                         .attr("mkstemp")(py::arg("prefix") = temporary_prefix(target),
                                          py::arg("dir") = directory);
    py::object fd = made[0], temporary = made[1], file = py::none();
    try {
        if (!existing.is_none())
            os.attr("fchmod")(fd, py::object(existing.attr("st_mode")) & py::int_(07777));
        file = binary ? g("open")(fd, "wb")
                      : g("open")(fd, "w", py::arg("encoding") = "utf-8", py::arg("newline") = "");
        write(file);
        file.attr("flush")();
        os.attr("fsync")(file.attr("fileno")());
        file.attr("close")();
        os.attr("replace")(temporary, target);
    } catch (...) {
        close_quietly(file, fd);
        remove_quietly(temporary);
        throw;
    }
    sync_directory(directory);
}

// False only when no process `pid` exists (one of another user still counts as alive).
bool process_alive(const py::object &pid) {
    try {
        g("os").attr("kill")(pid, 0);
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_ProcessLookupError))
            return false;
        if (!e.matches(PyExc_OSError))
            throw;
    }
    return true;
}

const double HOUR = 3600;

// Whether the temporary file `path` of process `pid` is left over: its process is gone (a killed
// save), or it is older than an hour (its pid now names another process). A pid of None marks the
// earlier naming, which carried none; under the store lock such a file is never in use.
bool is_stale_temporary(const py::object &path, const py::object &pid) {
    if (pid.is_none())
        return true;
    py::object os = g("os");
    py::object number = g("int")(pid);
    if (kavrel::py_equal(number, os.attr("getpid")()))
        return false;
    if (!process_alive(number))
        return true;
    try {
        double modified = os.attr("stat")(path).attr("st_mtime").cast<double>();
        return modified < g("time").attr("time")().cast<double>() - HOUR;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        return false;
    }
}

// Removes the temporary files in `directory` that no save under way can still need. Runs under the
// store lock, which every save holds while its temporary file exists.
void remove_stale_temporaries(const py::object &directory) {
    py::object pattern = g("re").attr("compile")(
        R"(^\..+\.tmp-(\d{1,9})-[a-z0-9_]{8}$|^\.connections\.toml\.[a-z0-9_]{8}\.tmp$)");
    py::object names;
    try {
        names = g("os").attr("listdir")(directory);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        return;
    }
    for (const py::handle &name : names) {
        py::object match = pattern.attr("match")(name);
        if (match.is_none())
            continue;
        py::object path = as_path(directory) / name;
        if (is_stale_temporary(path, match.attr("group")(1)))
            remove_quietly(path);
    }
}

// Who holds a store lock: this process's thread. The lock is taken once per holder, so a body that
// calls other store functions (a command that checks and saves under one lock) does not wait for
// the lock it holds itself; another thread of the process waits like another process.
py::object lock_holder() {
    return py::make_tuple(g("os").attr("getpid")(), g("threading").attr("get_ident")());
}

// Runs `body` while holding an exclusive lock on "<connections file>.lock", so a concurrent
// read-change-write of another process cannot slip between this one's read and its write. With
// no settings directory yet there is nothing to lock: the load inside `body` reports the missing
// file.
template <class Body> py::object with_store_lock(const py::object &connections_file, Body body) {
    py::object path = as_path(connections_file);
    py::object lock_path = path.attr("with_name")(cat({path.attr("name"), py::str(".lock")}));
    if (!kavrel::truthy(lock_path.attr("parent").attr("is_dir")()))
        return body();
    py::object held = g("_held_store_locks"); // {lock path: holder}
    py::str key = py::str(lock_path);
    if (held.contains(key) && kavrel::py_equal(held[key], lock_holder()))
        return body();
    py::object os = g("os");
    py::object flags = os.attr("O_RDWR") | os.attr("O_CREAT");
    py::object fd = os.attr("open")(lock_path, flags, OWNER_ONLY_FILE);
    py::object result;
    try {
        py::object fcntl = g("fcntl");
        fcntl.attr("flock")(fd, fcntl.attr("LOCK_EX"));
        held[key] = lock_holder();
        remove_stale_temporaries(lock_path.attr("parent"));
        py::object target_directory = write_target(path).attr("parent");
        if (!kavrel::py_equal(target_directory, lock_path.attr("parent")))
            remove_stale_temporaries(target_directory);
        result = body();
    } catch (...) {
        held.attr("pop")(key, py::none());
        close_quietly(py::none(), fd);
        throw;
    }
    held.attr("pop")(key, py::none());
    os.attr("close")(fd); // closing the descriptor releases the lock
    return result;
}

} // namespace
