// One Bulk API 2.0 ingest job, the steps every load of the module shares: the creation request,
// which the module sends itself, then the upload, the close, the status checks and, when a load
// breaks off while the job is still Open, its abort.
//
// Those four go through a Bulk API client: the module's `ingest` global for its own operations, or
// the client a caller hands the load runner. A client needs only the documented `send_file`,
// `job_close` and `job_status`; `job_abort` is used when it has one. What the module needs beyond
// them (reading Salesforce's error documents, the per-upload limit) comes from its own
// `_bulk_api_rules`, bound when the module loads and never swapped with the client.
//
// Every log record about a job carries `extra={"job_id": ..., "job_event": ...}`, which callers
// read instead of the wording of the line. The events: "created", "sent", "closing" (the close is
// being sent: if it breaks off, "aborted" or "closed" follows), "closed", "polled" (with the
// status document as `job_status`), "ended", "aborted" (by us, as it was still open), "open"
// (still open, could not be aborted), "left" (still processing when the load ended: left to
// finish) and "error" (its batch broke off).
#pragma once

#include "_pyglue.hpp"

#include <initializer_list>

namespace kavrel::vantro {
namespace py = pybind11;

// The Bulk API's facts (the API version and so the ingest path, the seconds to connect and to
// wait for an answer) are the Bulk API client's, kept in one place there.
inline py::object default_ingest_path() {
    return g("_bulk_api_rules").attr("INGEST_PATH").attr("rstrip")("/");
}

inline py::tuple request_timeout() {
    py::object rules = g("_bulk_api_rules");
    return py::make_tuple(rules.attr("CONNECT_TIMEOUT"), rules.attr("READ_TIMEOUT"));
}

// ---------------------------------------------------------------------------------------------
// Log records

inline void log(const char *level, const py::handle &message) { g("logger").attr(level)(message); }

// A log record that carries values for its readers as `extra`.
inline void log_with(const char *level, const py::handle &message, const py::dict &extra) {
    g("logger").attr(level)(message, py::arg("extra") = extra);
}

inline py::dict job_extra(const py::handle &job_id, const char *event) {
    py::dict extra;
    extra["job_id"] = job_id;
    extra["job_event"] = event;
    return extra;
}

// A log record about a job; a "polled" one also carries the status document Salesforce gave as
// `job_status`, so a progress display can show the job's state and records processed.
inline void log_job(const char *level, const py::handle &message, const py::handle &job_id,
                    const char *event, const py::handle &status = py::handle()) {
    py::dict extra = job_extra(job_id, event);
    if (status)
        extra["job_status"] = status;
    log_with(level, message, extra);
}

// ---------------------------------------------------------------------------------------------
// Creation

// What every job of one load shares: the endpoint, the headers and the creation document's text.
struct JobRequest {
    py::object url;
    py::dict headers;
    py::dict document;
    py::object document_text;
    py::object instance_url;
    py::object path; // the ingest path, of the API version the jobs are created with
};

// The request of a load's jobs, to the org `instance_url` with `access_token`. The caller reads
// the URL out of its access info once, as the module's operations read every key of it.
inline JobRequest job_request(const py::object &instance_url, const py::object &access_token,
                              const py::dict &document,
                              const py::object &path = default_ingest_path()) {
    JobRequest request;
    request.path = path;
    request.instance_url = instance_url;
    request.url = cat({instance_url, path});
    request.headers["Authorization"] = cat({py::str("Bearer "), access_token});
    request.headers["Content-Type"] = "application/json";
    request.document = document;
    request.document_text = g("json").attr("dumps")(document);
    return request;
}

// `requests.post(url, headers=headers, data=json.dumps(job_data), timeout=(10, 120))`, with the
// names looked up in the order the Python expression evaluates them. Never retried: a request
// that reached the server may have created a job, and a second try would create another.
inline py::object post_creation(const JobRequest &request) {
    py::object post = g("requests").attr("post");
    return post(request.url, py::arg("headers") = request.headers,
                py::arg("data") = request.document_text, py::arg("timeout") = request_timeout());
}

// The job info of a creation answer: a 2xx JSON object with an "id"; BulkApiError with
// Salesforce's errorCode and message for anything else.
inline py::object created_job(const py::object &response) {
    return g("_bulk_api_rules").attr("created_job")(response);
}

// The error Salesforce's answer describes (its errorCode and message), as a BulkApiError.
inline py::object error_from_response(const py::object &response) {
    return g("_bulk_api_rules").attr("error_from_response")(response);
}

// True when a creation refusal would come back for every batch of the load: the document is the
// same for all of them, so only a refusal that may pass on a later try (429, 408) is not final.
inline bool refused_for_every_batch(const py::error_already_set &e) {
    if (!e.matches(g("BulkApiError").ptr()))
        return false;
    py::object status = py::getattr(e.value(), "status_code", py::none());
    if (!PyLong_Check(status.ptr()))
        return false;
    const long code = status.cast<long>();
    return code >= 400 && code < 500 && code != 408 && code != 429;
}

// ---------------------------------------------------------------------------------------------
// Upload size

// `len(text.encode("utf-8"))`, without making the encoded copy of a batch's CSV.
inline py::object utf8_size(const py::handle &text) {
    PyObject *s = text.ptr();
    if (!PyUnicode_Check(s))
        return py_len(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s))
        return py::int_(length);
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    long long size = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        size += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return py::int_(size);
}

// A CSV above the per-upload limit is refused (UploadTooLarge) before its job is created, so none
// is left Open.
inline void check_upload_size(const py::handle &csv_text) {
    g("_bulk_api_rules").attr("check_upload_size")(utf8_size(csv_text));
}

// ---------------------------------------------------------------------------------------------
// Upload, close, status, abort

// The steps of a created job, through a Bulk API client: the module-shaped `ingest` (functions
// taking the access info first) for the module's own operations, or, with no `access_info`, a
// client object whose methods know their session (the load runner's). With `events`, what
// becomes of a job that breaks off is reported there (`record(event, details)`) to be worded
// by the caller, instead of logged here.
struct JobSteps {
    py::object client;
    py::object access_info = py::none();
    py::object events = py::none();

    py::object call(const char *name, std::initializer_list<py::handle> args) const {
        py::list arguments;
        if (!access_info.is_none())
            arguments.append(access_info);
        for (py::handle arg : args)
            arguments.append(arg);
        return client.attr(name)(*py::tuple(arguments));
    }
    void upload(const py::object &job_id, const py::object &csv_text) const {
        call("send_file", {job_id, csv_text});
    }
    py::object close(const py::object &job_id) const { return call("job_close", {job_id}); }
    py::object status(const py::object &job_id) const { return call("job_status", {job_id}); }

    // Called while an upload or a close is breaking off (an error, Ctrl-C, SIGTERM). The job is
    // Open until its close is accepted; aborting it leaves nothing half-loaded on the server. A
    // close that may have reached the server is checked first: a closed job is left to finish.
    // Returns the state the job is known to be in: "Aborted", the state a closed job reported,
    // or None when it may still be Open. `withdrawn` is set when this call aborted the job, so
    // that none of the data sent to it will ever be processed.
    py::object abort_if_open(const py::object &job_id, bool close_sent,
                             bool *withdrawn = nullptr) const {
        try {
            if (close_sent) {
                py::object state = status(job_id)[py::str("state")];
                if (!py_equal(state, py::str("Open"))) {
                    tell("still_running", "warning",
                         cat({py::str("⚠️ Job "), job_id, py::str(" is "), state,
                              py::str(" and was left to finish")}),
                         job_id, "closed", state);
                    return state;
                }
            }
            py::object abort = py::getattr(client, "job_abort", py::none());
            if (abort.is_none()) {
                tell("open", "error",
                     cat({py::str("❌ Job "), job_id,
                          py::str(" may still be open: the Bulk API client cannot abort it")}),
                     job_id, "open");
                return py::none();
            }
            call("job_abort", {job_id});
            if (withdrawn != nullptr)
                *withdrawn = true;
            tell("aborted", "warning",
                 cat({py::str("⚠️ Job "), job_id, py::str(" was still open: aborted it")}), job_id,
                 "aborted");
            return py::str("Aborted");
        } catch (py::error_already_set &e) {
            if (!is_ordinary_error(e))
                throw;
            tell("open", "error",
                 cat({py::str("❌ Job "), job_id,
                      py::str(" may still be open: it could not be aborted ("), error_text(e),
                      py::str(")")}),
                 job_id, "open", py::none(), error_text(e));
            return py::none();
        }
    }

private:
    // What became of the job: logged in the module's words, or reported for the caller's.
    void tell(const char *event, const char *level, const py::str &message,
              const py::object &job_id, const char *job_event, const py::object &state = py::none(),
              const py::object &error = py::none()) const {
        if (events.is_none()) {
            log_job(level, message, job_id, job_event);
            return;
        }
        py::dict details;
        details["job_id"] = job_id;
        details["state"] = state;
        details["error"] = error;
        events.attr("record")(event, details);
    }
};

// The states a job ends in, as the Bulk API client's module keeps them.
inline bool is_final_state(const py::handle &state) {
    return truthy(g("_bulk_api_rules").attr("FINISHED_STATES").attr("__contains__")(state));
}

} // namespace kavrel::vantro
