// The load runner: the rows of one read of a query, cut into batches as they stream in, each
// batch one ingest job, with up to `parallel` jobs in flight.
//
// It runs on the caller's thread, one step at a time: read the next batch and write its CSV,
// start a job (create, upload, close) in a free slot, check the status of a job that is due. The
// org processes the jobs side by side while this thread reads and uploads, so even one job at a
// time overlaps the next batch's read with the current job's processing. Nothing else is shared,
// locked or started, and an interrupt (Ctrl-C, SIGTERM, or the caller's stop) lands in this one
// thread, where the jobs it leaves behind are known.
//
// Each job's status is checked at once after its close, then after the pauses of the plan's
// `poll_delays` (the last one repeating). The pauses are counted on a clock that never runs behind
// the pauses asked for, so a sleep that returns early (a test's) still moves the load on.
//
// A load may outlast the org's session. When a request is refused because the session ended (401
// INVALID_SESSION_ID), the runner gets a new access token from the plan's `renew_access` and
// sends that request once more: a refused request did nothing, so not even a creation is sent
// twice. Without a way to renew, or when renewing fails, every later request would be refused
// as well: the load creates no further job and says at which job the session ended.
//
// A plan may carry a journal (`record(event, details)`), told of every change of a batch's state
// before the act it announces goes out: "creating" (with the batch's first row, its rows and the
// digest of its CSV) before the creation request, "created" with the job id before the upload,
// "closing" before the close, then "closed", "state", "ended", "left", "failed", "retrying",
// "withdrawn" (a job aborted while Open: none of its data reached the org) and "lost" (what the
// lookup for a job whose creation answer was lost found). A plan that resumes a load names the
// batches already taken care of (`skip`: number to digest, read again, compared and not sent)
// and the jobs still running (`running`), which are followed as this run's own.
//
// A creation that fails without a job (a refusal that may pass later, a lost answer whose job
// was found and aborted, or none found) is tried again after the plan's `creation_retry_delays`;
// a job whose creation answer was lost is looked up with the plan's `lost_jobs`, which says which
// of the org's Open jobs are this load's to abort.
#pragma once

#include "vantro_job.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kavrel::vantro {
namespace py = pybind11;

// What the caller's plan says, read once when the load starts.
struct LoadPlan {
    JobSteps steps;
    JobRequest request;
    py::object header;
    py::object nulls;
    py::object batch_size; // rows per job; None for one job of every row
    size_t parallel = 1;
    std::optional<double> wait; // seconds the load may take, or no bound
    std::vector<double> poll_delays;
    py::object total_rows;   // the query's rows where the source knows them, else None
    py::object first_batch;  // the number of the first batch
    py::object renew_access; // () -> a new access info; None when the token cannot be renewed
    py::object journal;      // told of every batch's changes of state; None: not journaled
    py::object skip;         // {batch number: digest} of batches not to send again; or None
    py::object running;      // [{batch, rows, job_id, state}] jobs of an earlier run to follow
    py::object lost_jobs;    // (object, operation, since, known, error) -> [{id, claim}]; or None
    std::vector<double> creation_retry_delays;
};

// The creation document of the runner's jobs: every operation names its content type, and an
// upsert its external-ID field.
inline py::dict runner_job_document(const py::object &plan) {
    py::dict document;
    document["object"] = py::str(plan.attr("sobject"));
    document["contentType"] = "CSV";
    document["operation"] = py::str(plan.attr("operation"));
    py::object external_id = plan.attr("external_id");
    if (!external_id.is_none())
        document["externalIdFieldName"] = py::str(external_id);
    document["lineEnding"] = "CRLF";
    return document;
}

inline LoadPlan read_plan(const py::object &plan) {
    LoadPlan read;
    // A copy of the runner's own, updated in place when the session is renewed: every step reads
    // the token from it.
    py::object access_info = g("dict")(plan.attr("access_info"));
    py::object client = plan.attr("client");
    read.steps = JobSteps{client.is_none() ? g("ingest") : client, access_info};
    // The API version is the org's access's to choose (its "api_version", as the Bulk API client
    // reads it too); the module's own operations keep theirs.
    py::object path = g("_bulk_api_rules").attr("ingest_path")(access_info).attr("rstrip")("/");
    read.request = job_request(access_info, access_info[py::str("access_token")],
                               runner_job_document(plan), path);
    read.header = plan.attr("header");
    read.nulls = plan.attr("nulls");
    read.batch_size = plan.attr("batch_size");
    if (!read.batch_size.is_none() && read.batch_size < py::int_(1))
        raise(PyExc_ValueError,
              cat({py::str("batch_size must be a positive integer, not "), read.batch_size}));
    const long long parallel = plan.attr("parallel").cast<long long>();
    if (parallel < 1)
        raise(PyExc_ValueError, "parallel must be a positive integer");
    read.parallel = static_cast<size_t>(std::min<long long>(parallel, 1000));
    py::object wait = plan.attr("wait");
    if (!wait.is_none())
        read.wait = wait.cast<double>();
    for (py::handle delay : plan.attr("poll_delays"))
        read.poll_delays.push_back(std::max(0.0, delay.cast<double>()));
    if (read.poll_delays.empty())
        read.poll_delays.push_back(10.0);
    read.total_rows = plan.attr("total_rows");
    read.first_batch = py::getattr(plan, "first_batch", py::int_(1));
    read.renew_access = py::getattr(plan, "renew_access", py::none());
    read.journal = py::getattr(plan, "journal", py::none());
    read.skip = py::getattr(plan, "skip", py::none());
    read.running = py::getattr(plan, "running", py::none());
    read.lost_jobs = py::getattr(plan, "lost_jobs", py::none());
    for (py::handle delay : py::getattr(plan, "creation_retry_delays", py::tuple()))
        read.creation_retry_delays.push_back(std::max(0.0, delay.cast<double>()));
    return read;
}

// One job's outcome as the caller receives it.
inline py::dict outcome_of(const py::object &batch, const py::object &job_id,
                           const py::object &rows, const py::object &state) {
    py::dict outcome;
    outcome["batch"] = batch;
    outcome["job_id"] = job_id;
    outcome["rows"] = rows;
    outcome["state"] = state;
    outcome["processed"] = py::none();
    outcome["failed"] = py::none();
    outcome["error"] = py::none();
    outcome["error_message"] = py::none();
    return outcome;
}

// `f"{n:,} {singular}"`, or with the plural when n is not 1: "1 row", "2,500 rows".
inline py::str counted(const py::object &n, const char *singular, const char *plural) {
    return cat({grouped(n), py::str(" "), py::str(py_equal(n, py::int_(1)) ? singular : plural)});
}

// A record count from a status document; None where Salesforce gave none.
inline py::object count_in(const py::object &status, const char *key) {
    py::object value = status.attr("get")(key);
    return PyLong_CheckExact(value.ptr()) ? value : py::object(py::none());
}

// The digest a journal keeps of a batch's CSV, by which a resumed load knows the same rows:
// `hashlib.sha256(csv_text.encode("utf-8")).hexdigest()`, hashing the string's own UTF-8 form.
inline py::object batch_digest(const py::handle &csv_text) {
    if (!PyUnicode_Check(csv_text.ptr()))
        raise(PyExc_TypeError, "a batch's CSV must be a str");
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(csv_text.ptr(), &size);
    if (data == nullptr)
        throw py::error_already_set();
    py::object view = checked(PyMemoryView_FromMemory(const_cast<char *>(data), size, PyBUF_READ));
    return g("hashlib").attr("sha256")(view).attr("hexdigest")();
}

class LoadRun {
public:
    LoadRun(const py::object &plan, py::object reader, py::object stop)
        : plan_(read_plan(plan)), reader_(std::move(reader)), stop_(std::move(stop)),
          slots_(plan_.parallel, false), next_number_(plan_.first_batch) {
        follow_running_jobs();
    }

    py::dict run() {
        announce();
        if (plan_.wait)
            deadline_ = now() + *plan_.wait;
        try {
            step_until_done();
        } catch (py::error_already_set &e) {
            name_jobs_left();
            if (stop_requested() && is_ordinary_error(e))
                raise_as_interrupt(e); // a driver's own word for the interrupt
            throw;
        }
        py::dict result;
        result["jobs"] = sorted_outcomes();
        result["rows_read"] = rows_read_;
        result["read_complete"] = py::bool_(!more_rows_);
        result["stopped"] = stopped_;
        return result;
    }

private:
    struct Batch {
        py::object number;
        py::object rows;
        py::object csv;
        py::object first_row; // rows of the read before this batch's
        py::object digest;    // of its CSV, when journaled; else None
        size_t attempt = 0;   // creations tried before this one
        double not_before = 0;
    };
    struct InFlight {
        size_t slot;
        py::object number;
        py::object rows;
        py::object job_id;
        py::object state;
        double due;
        size_t checks;
    };

    // --- the loop ---------------------------------------------------------------------------

    void step_until_done() {
        while (true) {
            check_stop();
            if (now() >= deadline_) {
                give_up_waiting();
                return;
            }
            std::optional<size_t> slot = free_slot();
            const bool sending = next_ && stopped_.is_none();
            if (slot && sending && next_->not_before <= now()) {
                start_job(*slot);
            } else if (!next_ && more_rows_ && stopped_.is_none()) {
                read_batch();
            } else if (InFlight *job = due_job()) {
                poll(*job);
            } else if (running_.empty() && !sending) {
                return;
            } else {
                const double retry = sending ? next_->not_before : deadline_;
                pause(std::min({next_due(), retry, deadline_}) - now());
            }
        }
    }

    std::optional<size_t> free_slot() const {
        for (size_t i = 0; i < slots_.size(); ++i)
            if (!slots_[i])
                return i;
        return std::nullopt;
    }

    InFlight *due_job() {
        InFlight *due = nullptr;
        const double time = now();
        for (InFlight &job : running_)
            if (job.due <= time && (due == nullptr || job.due < due->due))
                due = &job;
        return due;
    }

    double next_due() const {
        double due = std::numeric_limits<double>::infinity();
        for (const InFlight &job : running_)
            due = std::min(due, job.due);
        return due;
    }

    // --- the clock and the stop ---------------------------------------------------------------

    double now() {
        clock_ = std::max(clock_, g("time").attr("monotonic")().cast<double>());
        return clock_;
    }

    void pause(double seconds) {
        if (seconds <= 0)
            return;
        const double from = now();
        if (!stop_.is_none() && py::hasattr(stop_, "wait"))
            stop_.attr("wait")(seconds);
        else
            g("time").attr("sleep")(seconds);
        clock_ = std::max(clock_, from + seconds);
    }

    bool stop_requested() const { return !stop_.is_none() && truthy(stop_.attr("is_set")()); }

    py::object stop_interrupt() const {
        py::object make = py::getattr(stop_, "interrupt", py::none());
        return make.is_none() ? py::reinterpret_borrow<py::object>(PyExc_KeyboardInterrupt)()
                              : make();
    }

    void check_stop() const {
        if (stop_requested())
            raise_instance(stop_interrupt());
    }

    [[noreturn]] void raise_as_interrupt(const py::error_already_set &e) const {
        py::object interrupt = stop_interrupt();
        PyException_SetContext(interrupt.ptr(), e.value().inc_ref().ptr());
        PyException_SetCause(interrupt.ptr(), e.value().inc_ref().ptr());
        raise_instance(interrupt);
    }

    // --- reading --------------------------------------------------------------------------------

    void announce() {
        py::dict extra;
        extra["load_parallel"] = py::int_(plan_.parallel);
        const bool known = !plan_.total_rows.is_none();
        py::str rows = known ? counted(plan_.total_rows, "row", "rows") : py::str("the rows");
        if (plan_.batch_size.is_none()) {
            if (known) {
                extra["load_rows"] = plan_.total_rows;
                extra["load_batches"] = py::int_(1);
            }
            log_with("info", cat({py::str("📦 Loading "), rows, py::str(" in one job")}), extra);
            return;
        }
        py::str jobs = cat({py::str(", "), counted(py::int_(plan_.parallel), "job", "jobs"),
                            py::str(" at a time")});
        py::str size = cat({py::str(" of up to "), counted(plan_.batch_size, "row", "rows")});
        if (!known) {
            log_with("info", cat({py::str("📦 Loading the rows in batches"), size, jobs}), extra);
            return;
        }
        py::object batches = ceil_divide(plan_.total_rows, plan_.batch_size);
        extra["load_rows"] = plan_.total_rows;
        extra["load_batches"] = batches;
        log_with("info",
                 cat({py::str("📦 Loading "), rows, py::str(" in "),
                      counted(batches, "batch", "batches"), size, jobs}),
                 extra);
    }

    // The next batch's rows, and its CSV text. A read that fails ends the reading (the jobs in
    // flight still run to their end); a batch whose CSV cannot be made fails alone.
    void read_batch() {
        py::dict reading;
        reading["load_event"] = "reading";
        reading["batch"] = next_number_;
        log_with("debug", cat({py::str("📥 Reading batch "), next_number_}), reading);
        py::object rows;
        try {
            rows = plan_.batch_size.is_none() ? reader_.attr("fetchall")()
                                              : reader_.attr("fetchmany")(plan_.batch_size);
        } catch (py::error_already_set &e) {
            if (!is_ordinary_error(e) || stop_requested())
                throw;
            stopped_ = cat({py::str("reading the rows broke off after "),
                            counted(rows_read_, "row", "rows"), py::str(": "), describe(e)});
            log_stopped();
            return;
        }
        py::object count = py_len(rows);
        if (py_equal(count, py::int_(0))) {
            read_all();
            return;
        }
        if (plan_.batch_size.is_none())
            more_rows_ = false;
        py::object first_row = rows_read_;
        rows_read_ = rows_read_ + count;
        if (!more_rows_)
            journal_read(); // one job of every row: the read is complete
        py::object number = next_number_;
        next_number_ = next_number_ + py::int_(1);
        py::dict extra;
        extra["batch"] = number;
        extra["batch_rows"] = count;
        log_with("debug",
                 cat({py::str("📊 Batch "), number, py::str(": "), counted(count, "row", "rows"),
                      py::str(" ("), grouped(rows_read_), py::str(" read so far)")}),
                 extra);
        try {
            py::object csv_text =
                g("csv").attr("rows_to_csv")(plan_.header, std::move(rows), plan_.nulls);
            py::object digest = journaled() ? batch_digest(csv_text) : py::object(py::none());
            if (sent_before(number, digest))
                return;
            check_upload_size(csv_text);
            next_ = Batch{number, count, std::move(csv_text), first_row, digest};
        } catch (py::error_already_set &e) {
            if (!is_ordinary_error(e) || stop_requested())
                throw;
            batch_failed(number, count, py::none(), describe(e));
        }
    }

    void read_all() {
        more_rows_ = false;
        py::dict done;
        done["load_event"] = "read";
        log_with("debug",
                 cat({py::str("📥 All "), counted(rows_read_, "row", "rows"), py::str(" read")}),
                 done);
        journal_read();
    }

    // The rows of the whole read, once it is complete: what the load's rows are.
    void journal_read() {
        py::dict details;
        details["rows"] = rows_read_;
        journal("read", py::none(), details);
    }

    bool journaled() const { return !plan_.journal.is_none() || !plan_.skip.is_none(); }

    // A batch that an earlier run of the load took care of is not sent again, provided its rows
    // are the ones that run sent; if they are not, the source changed under the load, and
    // sending further batches would load rows twice or never: the load creates no more jobs.
    bool sent_before(const py::object &number, const py::object &digest) {
        if (plan_.skip.is_none() || !plan_.skip.contains(number))
            return false;
        if (py_equal(plan_.skip[number], digest)) {
            py::dict extra;
            extra["batch"] = number;
            log_with("debug",
                     cat({py::str("⏭️ Batch "), number, py::str(" was sent before; not again")}),
                     extra);
            return true;
        }
        stopped_ = cat({py::str("the rows of batch "), number,
                        py::str(" are not the ones sent before: the source changed since the load "
                                "began; no further job was created")});
        log_stopped();
        return true;
    }

    // --- one job --------------------------------------------------------------------------------

    void start_job(size_t slot) {
        Batch batch = std::move(*next_);
        next_.reset();
        check_stop(); // no job is created once a stop was asked for
        py::object job_id;
        py::object since = g("time").attr("time")();
        journal_creating(batch, since);
        try {
            log("debug", cat({py::str("🔍 Creating the job of batch "), batch.number}));
            py::object info =
                renewing([&] { return created_job(post_checked_creation(plan_.request)); });
            job_id = info[py::str("id")];
        } catch (py::error_already_set &e) {
            LostJobs lost = find_lost_jobs(e, since, batch.number);
            if (!is_ordinary_error(e) || stop_requested()) {
                if (lost.none_left) // nothing on the org holds it: it was simply not sent
                    journal_failed(batch.number, batch.rows, py::none(), describe(e),
                                   py::str("error"));
                throw;
            }
            creation_failed(std::move(batch), e, lost);
            return;
        }
        known_jobs_.add(job_id);
        slots_[slot] = true;
        bool close_sent = false;
        // From here on the job exists: whatever breaks off, even its first log line, aborts it.
        try {
            journal_job("created", batch.number, job_id);
            job_log("info", job_id, batch, slot, "created",
                    cat({py::str("✅ Batch "), batch.number, py::str(": job "), job_id,
                         py::str(" created for "), counted(batch.rows, "row", "rows")}));
            renewing([&] {
                plan_.steps.upload(job_id, batch.csv);
                return py::none();
            });
            batch.csv = py::none();
            job_log(
                "debug", job_id, batch, slot, "sent",
                cat({py::str("✅ Batch "), batch.number, py::str(": data sent to job "), job_id}));
            journal_job("closing", batch.number, job_id);
            job_log("debug", job_id, batch, slot, "closing",
                    cat({py::str("🔍 Closing job "), job_id}));
            close_sent = true;
            renewing([&] { return plan_.steps.close(job_id); });
        } catch (py::error_already_set &e) {
            bool withdrawn = false;
            py::object state = plan_.steps.abort_if_open(job_id, close_sent, &withdrawn);
            if (withdrawn)
                journal_job("withdrawn", batch.number, job_id);
            if (!is_ordinary_error(e) || stop_requested()) {
                slots_[slot] = false;
                throw;
            }
            if (!state.is_none() && !py_equal(state, py::str("Aborted"))) {
                track(slot, batch, job_id, state); // closed after all: it runs
                stop_if_session_lost(batch.number, job_id);
                return;
            }
            slots_[slot] = false;
            py::object reached = state.is_none() ? py::object(py::str("unknown")) : state;
            batch_failed(batch.number, batch.rows, job_id, describe(e), reached);
            stop_if_session_lost(batch.number, job_id);
            return;
        }
        job_log("debug", job_id, batch, slot, "closed",
                cat({py::str("✅ Job "), job_id, py::str(" closed; Salesforce processes it")}));
        track(slot, batch, job_id, py::str("UploadComplete"));
    }

    void track(size_t slot, const Batch &batch, const py::object &job_id, const py::object &state) {
        journal_state("closed", batch.number, job_id, state);
        running_.push_back(InFlight{slot, batch.number, batch.rows, job_id, state, now(), 0});
    }

    // The jobs of an earlier run of this load that were still processing: followed as if this
    // run had started them, each in a slot of its own.
    void follow_running_jobs() {
        if (plan_.running.is_none())
            return;
        for (py::handle job : plan_.running) {
            std::optional<size_t> slot = free_slot();
            if (!slot) {
                slots_.push_back(false);
                slot = slots_.size() - 1;
            }
            slots_[*slot] = true;
            py::object job_id = job[py::str("job_id")];
            known_jobs_.add(job_id);
            running_.push_back(InFlight{*slot, job[py::str("batch")], job[py::str("rows")], job_id,
                                        job[py::str("state")], 0, 0});
        }
    }

    // What the lookup for a job whose creation answer was lost found: the text for the batch's
    // outcome (None when the request cannot have made a job), and whether nothing that creation
    // may have made is left on the org (none found, or each found one aborted).
    struct LostJobs {
        py::object text;
        bool none_left;
    };

    // A creation whose answer was lost may still have made a job, Open on the org with nobody
    // naming it. The org's Open jobs of this user, object and operation created since the
    // request (and not the load's own) are the candidates: those the plan's `lost_jobs` claims
    // for this load (every one, without it) are aborted, the others named.
    LostJobs find_lost_jobs(const py::error_already_set &e, const py::object &since,
                            const py::object &number) {
        py::object rules = g("_bulk_api_rules");
        if (!truthy(rules.attr("may_have_created_job")(e.value())))
            return {py::none(), true};
        py::list named, aborted, left;
        try {
            for (py::handle job : lost_candidates(since, e)) {
                py::object job_id = job[py::str("id")];
                if (known_jobs_.contains(job_id))
                    continue;
                const bool claim = truthy(job.attr("get")("claim", true));
                if (!claim) {
                    left.append(job_id);
                    named.append(cat({py::str("job "), job_id,
                                      py::str(" may be the one it created, or another load's: "
                                              "abort it with `kavrel job abort "),
                                      job_id, py::str("` if it is not another's")}));
                    continue;
                }
                known_jobs_.add(job_id);
                log_job("warning",
                        cat({py::str("⚠️ Job "), job_id,
                             py::str(" was created though its creation answer was lost")}),
                        job_id, "created");
                py::object state = plan_.steps.abort_if_open(job_id, false);
                if (state.is_none())
                    left.append(job_id);
                else
                    aborted.append(job_id);
                named.append(cat({py::str("job "), job_id,
                                  state.is_none() ? py::str(" may still be Open: abort it with "
                                                            "`kavrel job abort ")
                                                  : py::str(" was created and has been aborted"),
                                  state.is_none() ? cat({job_id, py::str("`")}) : py::str("")}));
            }
        } catch (py::error_already_set &lookup) {
            if (!is_ordinary_error(lookup))
                throw;
            return {cat({py::str("a job may have been created (it could not be looked up: "),
                         describe(lookup),
                         py::str("); find it with `kavrel job list` and abort it with `kavrel "
                                 "job abort ID`")}),
                    false};
        }
        py::dict details;
        details["aborted"] = aborted;
        details["left"] = left;
        journal("lost", number, details);
        if (py::len(named) == 0)
            return {py::str("the org shows no job it may have created"), true};
        return {py::str("; ").attr("join")(named), py::len(left) == 0};
    }

    py::object lost_candidates(const py::object &since, const py::error_already_set &e) {
        py::object document = plan_.request.document;
        py::object object = document["object"], operation = document["operation"];
        if (!plan_.lost_jobs.is_none())
            return plan_.lost_jobs(object, operation, since, py::frozenset(known_jobs_), e.value());
        py::object rules = g("_bulk_api_rules");
        py::object find =
            py::getattr(plan_.steps.client, "find_open_jobs", rules.attr("find_open_jobs"));
        return find(plan_.steps.access_info, object, operation, since);
    }

    // A refusal that every later batch would get too ends the creating of jobs; a creation that
    // left no job behind is tried again while the plan allows; any other failure is this batch's
    // alone.
    void creation_failed(Batch batch, const py::error_already_set &e, const LostJobs &lost) {
        py::str text = describe(e);
        if (!lost.text.is_none())
            text = cat({text, py::str("; "), lost.text});
        if (!lost_session_.is_none()) {
            batch_failed(batch.number, batch.rows, py::none(), text, py::str("error"), false);
            stop_if_session_lost(batch.number, py::none());
            return;
        }
        if (refused_for_every_batch(e)) {
            stopped_ = cat({py::str("Salesforce refused to create the job of batch "), batch.number,
                            py::str(" ("), text, py::str("); no further job was created")});
            log_stopped();
            batch_failed(batch.number, batch.rows, py::none(), text, py::str("error"), false);
            return;
        }
        if (lost.none_left && batch.attempt < plan_.creation_retry_delays.size()) {
            retry_creation(std::move(batch), text);
            return;
        }
        py::object still_lost = py::bool_(!lost.none_left);
        batch_failed(batch.number, batch.rows, py::none(), text, py::str("error"), true,
                     still_lost);
    }

    // The batch goes back to be sent once more, after the pause the plan gives its attempt.
    void retry_creation(Batch batch, const py::str &text) {
        const double delay = plan_.creation_retry_delays[batch.attempt];
        batch.attempt += 1;
        batch.not_before = now() + delay;
        py::dict details;
        details["error"] = text;
        details["attempt"] = py::int_(batch.attempt);
        journal("retrying", batch.number, details);
        py::dict extra;
        extra["batch"] = batch.number;
        extra["load_event"] = "retrying";
        log_with(
            "warning",
            cat({py::str("🔁 Batch "), batch.number, py::str(": its job was not created ("), text,
                 py::str("); trying again in "), g("format")(delay, "g"), py::str(" s")}),
            extra);
        next_ = std::move(batch);
    }

    // --- the journal ----------------------------------------------------------------------------

    void journal(const char *event, const py::object &number, py::dict details) {
        if (plan_.journal.is_none())
            return;
        details["batch"] = number;
        plan_.journal.attr("record")(event, details);
    }

    // Written before the creation request goes out, so that a load stopped at any instant from
    // here on knows a job may exist for the batch.
    void journal_creating(const Batch &batch, const py::object &since) {
        py::dict details;
        details["rows"] = batch.rows;
        details["first_row"] = batch.first_row;
        details["digest"] = batch.digest;
        details["since"] = since;
        details["attempt"] = py::int_(batch.attempt);
        journal("creating", batch.number, details);
    }

    void journal_job(const char *event, const py::object &number, const py::object &job_id) {
        py::dict details;
        details["job_id"] = job_id;
        journal(event, number, details);
    }

    void journal_state(const char *event, const py::object &number, const py::object &job_id,
                       const py::object &state) {
        py::dict details;
        details["job_id"] = job_id;
        details["state"] = state;
        journal(event, number, details);
    }

    void journal_failed(const py::object &number, const py::object &rows, const py::object &job_id,
                        const py::str &error, const py::object &state,
                        const py::object &lost = py::bool_(false)) {
        py::dict details = outcome_of(number, job_id, rows, state);
        details["error"] = error;
        details["lost"] = lost;
        journal("failed", number, details);
    }

    void poll(InFlight &job) {
        py::object status;
        const py::object before = job.state;
        try {
            status = renewing([&] { return plan_.steps.status(job.job_id); });
            job.state = status[py::str("state")];
        } catch (py::error_already_set &e) {
            if (!is_ordinary_error(e) || stop_requested())
                throw;
            const py::object number = job.number, job_id = job.job_id;
            py::dict outcome = outcome_of(number, job_id, job.rows, py::str("unknown"));
            outcome["error"] = cat({py::str("could not read the job's state: "), describe(e)});
            finish(job, outcome, "error", "❌ ", outcome["error"]);
            stop_if_session_lost(number, job_id);
            return;
        }
        py::object processed = count_in(status, "numberRecordsProcessed");
        py::dict extra = job_extra(job.job_id, "polled");
        extra["job_status"] = status;
        add_place(extra, job.number, job.rows, job.slot);
        log_with("debug",
                 cat({py::str("📊 Job "), job.job_id, py::str(": "), job.state,
                      processed.is_none() ? py::str("")
                                          : cat({py::str(", "), grouped(processed),
                                                 py::str(" records processed")})}),
                 extra);
        if (!is_final_state(job.state)) {
            if (!py_equal(job.state, before))
                journal_state("state", job.number, job.job_id, job.state);
            job.checks += 1;
            const size_t index = std::min(job.checks, plan_.poll_delays.size()) - 1;
            job.due = now() + plan_.poll_delays[index];
            return;
        }
        py::dict outcome = outcome_of(job.number, job.job_id, job.rows, job.state);
        outcome["processed"] = processed;
        py::object failed = count_in(status, "numberRecordsFailed");
        outcome["failed"] = failed;
        py::object reason = status.attr("get")("errorMessage");
        const bool completed = py_equal(job.state, py::str("JobComplete"));
        if (!completed && !reason.is_none())
            outcome["error_message"] = py::str(reason);
        if (!completed) {
            finish(job, outcome, "ended", "❌ ", job.state);
        } else if (processed.is_none() || failed.is_none()) {
            finish(job, outcome, "ended", "⚠️ ",
                   cat({job.state, py::str(" (Salesforce gave no record counts)")}));
        } else if (py_equal(failed, py::int_(0))) {
            finish(job, outcome, "ended", "✅ ",
                   cat({job.state, py::str(": "), counted(processed, "record", "records"),
                        py::str(" succeeded")}));
        } else { // the job completed; some of its records did not
            finish(job, outcome, "ended", "⚠️ ",
                   cat({job.state, py::str(": "), grouped(failed), py::str(" of "),
                        counted(processed, "record", "records"), py::str(" failed")}));
        }
    }

    // Records the outcome of a job that left its slot, and frees the slot. A job that completed
    // is progress (INFO), whatever its records became; any other end is a WARNING.
    void finish(InFlight &job, const py::dict &outcome, const char *event, const char *mark,
                const py::object &text) {
        py::dict extra = job_extra(job.job_id, event);
        add_place(extra, job.number, job.rows, job.slot);
        log_with(py_equal(outcome["state"], py::str("JobComplete")) ? "info" : "warning",
                 cat({py::str(mark), py::str("Batch "), job.number, py::str(": job "), job.job_id,
                      py::str(" "), text}),
                 extra);
        journal(std::strcmp(event, "left") == 0 ? "left" : "ended", job.number, py::dict(outcome));
        outcomes_.append(outcome);
        slots_[job.slot] = false;
        const py::object id = job.job_id;
        running_.erase(std::remove_if(running_.begin(), running_.end(),
                                      [&](const InFlight &j) { return j.job_id.is(id); }),
                       running_.end());
    }

    void batch_failed(const py::object &number, const py::object &rows, const py::object &job_id,
                      const py::str &error, const py::object &state = py::str("error"),
                      bool log_it = true, const py::object &lost = py::bool_(false)) {
        journal_failed(number, rows, job_id, error, state, lost);
        py::dict outcome = outcome_of(number, job_id, rows, state);
        outcome["error"] = error;
        if (log_it)
            log_job("error", cat({py::str("❌ Batch "), number, py::str(": "), error}), job_id,
                    "error");
        outcomes_.append(outcome);
    }

    // --- the session --------------------------------------------------------------------------

    // Runs `request`; when Salesforce refuses it because the session ended, gets a new access
    // token and runs it once more.
    template <class Request> py::object renewing(Request request) {
        try {
            return request();
        } catch (py::error_already_set &e) {
            if (!session_expired(e))
                throw;
            if (plan_.renew_access.is_none()) {
                lose_session(py::str("the access token cannot be renewed: it was given as it is, "
                                     "without a profile to log in again with"));
                throw;
            }
        }
        renew_access();
        try {
            return request();
        } catch (py::error_already_set &e) {
            if (session_expired(e))
                lose_session(py::str("Salesforce refused the renewed access token too"));
            throw;
        }
    }

    // The new token goes into the access info every step reads and into the creation's headers.
    void renew_access() {
        try {
            py::object fresh = plan_.renew_access();
            plan_.steps.access_info.attr("update")(fresh);
            use_access(plan_.request, plan_.steps.access_info,
                       plan_.steps.access_info[py::str("access_token")]);
        } catch (py::error_already_set &e) {
            if (is_ordinary_error(e))
                lose_session(cat(
                    {py::str("no new access token could be had ("), describe(e), py::str(")")}));
            throw;
        }
    }

    void lose_session(const py::str &why) {
        if (lost_session_.is_none())
            lost_session_ = why;
    }

    // Once the session is lost every later request would be refused too: no further job is
    // created, and the load's stop names the job (or the batch) where it ended.
    void stop_if_session_lost(const py::object &number, const py::object &job_id) {
        if (lost_session_.is_none() || session_stop_named_)
            return;
        session_stop_named_ = true;
        py::str where =
            job_id.is_none()
                ? cat({py::str("the creation of batch "), number, py::str("'s job")})
                : cat({py::str("job "), job_id, py::str(" (batch "), number, py::str(")")});
        stopped_ = cat({py::str("the session ended at "), where, py::str(" and "), lost_session_,
                        py::str("; no further job was created")});
        log_stopped();
    }

    // --- the load's end ------------------------------------------------------------------------

    // The wait ran out: no job is created any more, and every job still running is named and
    // left to finish.
    void give_up_waiting() {
        stopped_ = py::str("the wait for the jobs ran out");
        next_.reset();
        while (!running_.empty()) {
            InFlight &job = running_.front();
            py::dict outcome = outcome_of(job.number, job.job_id, job.rows, job.state);
            outcome["error"] = cat({py::str("still "), job.state,
                                    py::str(" when the wait ran out; follow it with `kavrel "
                                            "job wait "),
                                    job.job_id, py::str("`")});
            finish(job, outcome, "left", "⏳ ", outcome["error"]);
        }
    }

    // An interrupt ends the load: each job still processing is named, as it is left to finish.
    void name_jobs_left() noexcept {
        try {
            for (const InFlight &job : running_)
                log_job("warning",
                        cat({py::str("⚠️ Job "), job.job_id, py::str(" (batch "), job.number,
                             py::str(") is "), job.state, py::str(" and was left to finish")}),
                        job.job_id, "left");
        } catch (py::error_already_set &) {
            // The interrupt being raised matters more than a line about it.
        }
    }

    // The reason no further job is created, which the caller's summary tells too.
    void log_stopped() {
        py::dict extra;
        extra["load_event"] = "stopped";
        log_with("error", cat({py::str("❌ "), stopped_}), extra);
    }

    void job_log(const char *level, const py::object &job_id, const Batch &batch, size_t slot,
                 const char *event, const py::handle &message) {
        py::dict extra = job_extra(job_id, event);
        add_place(extra, batch.number, batch.rows, slot);
        log_with(level, message, extra);
    }

    static void add_place(py::dict &extra, const py::object &number, const py::object &rows,
                          size_t slot) {
        extra["batch"] = number;
        extra["batch_rows"] = rows;
        extra["slot"] = py::int_(slot + 1);
    }

    // The error as one line: Salesforce's refusals say what they are, others get their type.
    static py::str describe(const py::error_already_set &e) {
        py::str text = error_text(e);
        if (e.matches(g("BulkApiError").ptr()) && py::len(text) > 0)
            return text;
        if (py::len(text) == 0)
            return error_type_name(e);
        return cat({error_type_name(e), py::str(": "), text});
    }

    py::list sorted_outcomes() const {
        py::list sorted =
            py::reinterpret_steal<py::list>(checked(PySequence_List(outcomes_.ptr())).release());
        py::object by_batch = py::module_::import("operator").attr("itemgetter")("batch");
        sorted.attr("sort")(py::arg("key") = by_batch);
        return sorted;
    }

    LoadPlan plan_;
    py::object reader_;
    py::object stop_;
    std::vector<bool> slots_; // true while a job holds the slot
    std::optional<Batch> next_;
    std::vector<InFlight> running_;
    py::list outcomes_;
    py::set known_jobs_; // every job this load created or found
    py::object next_number_;
    py::object rows_read_ = py::int_(0);
    bool more_rows_ = true;                // until the reader gives no more
    py::object stopped_ = py::none();      // why no further job is created
    py::object lost_session_ = py::none(); // why the access token could not be renewed
    bool session_stop_named_ = false;
    double clock_ = 0;
    double deadline_ = std::numeric_limits<double>::infinity();
};

} // namespace kavrel::vantro
