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
// Everything it asks of the org goes through the plan's client object (create_job, send_file,
// job_close, job_status, job_abort, find_open_jobs), which keeps the session and renews it: when
// the org ends the session and no new token can be had, the client raises SessionLost, and since
// every later request would be refused as well, the load creates no further job and says at
// which job the session ended.
//
// Each job's status is checked at once after its close, then after the pauses of the plan's
// `poll_delays` (the last one repeating). The pauses are counted on a clock that never runs behind
// the pauses asked for, so a sleep that returns early (a test's) still moves the load on.
//
// What happens is told to the plan's `events` (`record(event, details)`), which words it for the
// user and keeps the load's journal; the runner writes no text of its own but the errors it
// met. Every change of a batch's state is told before the act it announces goes out:
// "creating" (with the batch's first row, its rows and the digest of its CSV) before the
// creation request, "created" with the job id before the upload, "closing" before the close,
// then "closed", "polled", "ended", "left", "failed", "retrying", "withdrawn" (a job aborted
// while Open: none of its data reached the org) and "lost" (what the lookup for a job whose
// creation answer was lost found). A plan that resumes a load names the batches already taken
// care of (`skip`: number to digest, read again, compared and not sent) and the jobs still
// running (`running`), which are followed as this run's own.
//
// A creation that fails without a job (a refusal that may pass later, a lost answer whose job
// was found and aborted, or none found) is tried again after the plan's `creation_retry_delays`;
// a job whose creation answer was lost is looked up with the plan's `lost_jobs`, which says which
// of the org's Open jobs are this load's to abort.
#pragma once

#include "vantro_job.hpp"

#include <algorithm>
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
    py::dict document; // the creation document of every job of the load
    py::object header;
    py::object nulls;
    py::object batch_size; // rows per job; None for one job of every row
    size_t parallel = 1;
    std::optional<double> wait; // seconds the load may take, or no bound
    std::vector<double> poll_delays;
    py::object total_rows;  // the query's rows where the source knows them, else None
    py::object first_batch; // the number of the first batch
    py::object events;      // told of everything that happens; None: nobody listens
    py::object skip;        // {batch number: digest} of batches not to send again; or None
    py::object running;     // [{batch, rows, job_id, state}] jobs of an earlier run to follow
    py::object lost_jobs;   // (object, operation, since, known, error) -> [{id, claim}]; or None
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

inline std::vector<double> seconds_of(const py::handle &values) {
    std::vector<double> seconds;
    for (py::handle value : values)
        seconds.push_back(std::max(0.0, value.cast<double>()));
    return seconds;
}

inline LoadPlan read_plan(const py::object &plan) {
    LoadPlan read;
    read.events = plan.attr("events");
    read.steps = JobSteps{plan.attr("client"), py::none(), read.events};
    read.document = runner_job_document(plan);
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
    read.poll_delays = seconds_of(plan.attr("poll_delays"));
    if (read.poll_delays.empty())
        read.poll_delays.push_back(10.0);
    read.total_rows = plan.attr("total_rows");
    read.first_batch = plan.attr("first_batch");
    read.skip = plan.attr("skip");
    read.running = plan.attr("running");
    read.lost_jobs = plan.attr("lost_jobs");
    read.creation_retry_delays = seconds_of(plan.attr("creation_retry_delays"));
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
            leave_jobs_running();
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
        py::object digest;    // of its CSV, when someone keeps a journal; else None
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

    // --- what happens, told ---------------------------------------------------------------

    void report(const char *event, py::dict details) {
        if (!plan_.events.is_none())
            plan_.events.attr("record")(event, details);
    }

    // The details of an event about a batch (and its job, and the slot it holds).
    static py::dict about(const py::object &number, const py::object &rows,
                          const py::object &job_id = py::none(),
                          std::optional<size_t> slot = std::nullopt) {
        py::dict details;
        details["batch"] = number;
        details["rows"] = rows;
        details["job_id"] = job_id;
        details["slot"] = slot ? py::object(py::int_(*slot + 1)) : py::object(py::none());
        return details;
    }

    // --- reading --------------------------------------------------------------------------------

    void announce() {
        py::dict details;
        details["parallel"] = py::int_(plan_.parallel);
        details["rows"] = plan_.total_rows;
        details["batch_size"] = plan_.batch_size;
        details["batches"] = py::none();
        if (!plan_.total_rows.is_none())
            details["batches"] = plan_.batch_size.is_none()
                                     ? py::object(py::int_(1))
                                     : ceil_divide(plan_.total_rows, plan_.batch_size);
        report("plan", details);
    }

    // The next batch's rows, and its CSV text. A read that fails ends the reading (the jobs in
    // flight still run to their end); a batch whose CSV cannot be made fails alone.
    void read_batch() {
        report("reading", about(next_number_, py::none()));
        py::object rows;
        try {
            rows = plan_.batch_size.is_none() ? reader_.attr("fetchall")()
                                              : reader_.attr("fetchmany")(plan_.batch_size);
        } catch (py::error_already_set &e) {
            if (!is_ordinary_error(e) || stop_requested())
                throw;
            py::dict details;
            details["rows"] = rows_read_;
            details["error"] = describe(e);
            stop("read_failed", details);
            return;
        }
        py::object count = py_len(rows);
        if (py_equal(count, py::int_(0))) {
            read_all(true);
            return;
        }
        if (plan_.batch_size.is_none())
            more_rows_ = false;
        py::object first_row = rows_read_;
        rows_read_ = rows_read_ + count;
        py::object number = next_number_;
        next_number_ = next_number_ + py::int_(1);
        py::dict read = about(number, count);
        read["read_so_far"] = rows_read_;
        report("batch_read", read);
        if (!more_rows_)
            read_all(false); // one job of every row: the read is complete
        try {
            py::object csv_text =
                g("csv").attr("rows_to_csv")(plan_.header, std::move(rows), plan_.nulls);
            py::object digest = digests() ? batch_digest(csv_text) : py::object(py::none());
            if (sent_before(number, count, digest))
                return;
            check_upload_size(csv_text);
            next_ = Batch{number, count, std::move(csv_text), first_row, digest};
        } catch (py::error_already_set &e) {
            if (!is_ordinary_error(e) || stop_requested())
                throw;
            batch_failed(number, count, py::none(), describe(e));
        }
    }

    // The whole read is done (`at_end`: the reader said so with an empty batch).
    void read_all(bool at_end) {
        more_rows_ = false;
        py::dict details;
        details["rows"] = rows_read_;
        details["at_end"] = py::bool_(at_end);
        report("read", details);
    }

    bool digests() const { return !plan_.events.is_none() || !plan_.skip.is_none(); }

    // A batch that an earlier run of the load took care of is not sent again, provided its rows
    // are the ones that run sent; if they are not, the source changed under the load, and
    // sending further batches would load rows twice or never: the load creates no more jobs.
    bool sent_before(const py::object &number, const py::object &rows, const py::object &digest) {
        if (plan_.skip.is_none() || !plan_.skip.contains(number))
            return false;
        if (py_equal(plan_.skip[number], digest)) {
            report("skipped", about(number, rows));
            return true;
        }
        stop("source_changed", about(number, rows));
        return true;
    }

    // No further job is created: `details` say why, and the caller words it (`stopped`).
    void stop(const char *why, py::dict details) {
        details["why"] = why;
        stopped_ = details;
        report("stopped", details);
    }

    // --- one job --------------------------------------------------------------------------------

    void start_job(size_t slot) {
        Batch batch = std::move(*next_);
        next_.reset();
        check_stop(); // no job is created once a stop was asked for
        py::object job_id;
        py::object since = g("time").attr("time")();
        report_creating(batch, since);
        try {
            py::object info = plan_.steps.client.attr("create_job")(plan_.document);
            job_id = info[py::str("id")];
        } catch (py::error_already_set &e) {
            LostJobs lost = find_lost_jobs(e, since, batch.number);
            if (!is_ordinary_error(e) || stop_requested()) {
                if (lost.none_left) // nothing on the org holds it: it was simply not sent
                    report_failed(batch.number, batch.rows, py::none(), describe(e),
                                  py::str("error"), lost.details);
                throw;
            }
            creation_failed(std::move(batch), e, lost);
            return;
        }
        known_jobs_.add(job_id);
        slots_[slot] = true;
        bool close_sent = false;
        // From here on the job exists: whatever breaks off, even its first report, aborts it.
        try {
            report("created", about(batch.number, batch.rows, job_id, slot));
            plan_.steps.upload(job_id, batch.csv);
            batch.csv = py::none();
            report("sent", about(batch.number, batch.rows, job_id, slot));
            report("closing", about(batch.number, batch.rows, job_id, slot));
            close_sent = true;
            plan_.steps.close(job_id);
        } catch (py::error_already_set &e) {
            bool withdrawn = false;
            py::object state = plan_.steps.abort_if_open(job_id, close_sent, &withdrawn);
            if (withdrawn)
                report("withdrawn", about(batch.number, batch.rows, job_id, slot));
            if (!is_ordinary_error(e) || stop_requested()) {
                slots_[slot] = false;
                throw;
            }
            note_session_lost(e);
            if (!state.is_none() && !py_equal(state, py::str("Aborted"))) {
                track(slot, batch, job_id, state, true); // closed after all: it runs
                stop_if_session_lost(batch.number, job_id);
                return;
            }
            slots_[slot] = false;
            py::object reached = state.is_none() ? py::object(py::str("unknown")) : state;
            batch_failed(batch.number, batch.rows, job_id, describe(e), reached);
            stop_if_session_lost(batch.number, job_id);
            return;
        }
        track(slot, batch, job_id, py::str("UploadComplete"));
    }

    // `after_all`: a close that broke off reached the org all the same (the abort found it
    // closed, and said so).
    void track(size_t slot, const Batch &batch, const py::object &job_id, const py::object &state,
               bool after_all = false) {
        py::dict details = about(batch.number, batch.rows, job_id, slot);
        details["state"] = state;
        details["after_all"] = py::bool_(after_all);
        report("closed", details);
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

    // What the lookup for a job whose creation answer was lost found: its details for the
    // batch's outcome (None when the request cannot have made a job), and whether nothing that
    // creation may have made is left on the org (none found, or each found one aborted).
    struct LostJobs {
        py::object details;
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
        py::list aborted, open, left;
        py::dict details;
        details["aborted"] = aborted;
        details["open"] = open; // claimed, and could not be aborted
        details["left"] = left; // not claimed: another load may own them
        details["lookup_error"] = py::none();
        try {
            for (py::handle job : lost_candidates(since, e)) {
                py::object job_id = job[py::str("id")];
                if (known_jobs_.contains(job_id))
                    continue;
                if (!truthy(job.attr("get")("claim", true))) {
                    left.append(job_id);
                    continue;
                }
                known_jobs_.add(job_id);
                py::dict found = about(number, py::none(), job_id);
                report("lost_job", found);
                py::object state = plan_.steps.abort_if_open(job_id, false);
                (state.is_none() ? open : aborted).append(job_id);
            }
        } catch (py::error_already_set &lookup) {
            if (!is_ordinary_error(lookup))
                throw;
            details["lookup_error"] = describe(lookup);
            return {details, false};
        }
        py::dict lost = about(number, py::none());
        lost["aborted"] = aborted;
        lost["left"] = py::list(open + left);
        report("lost", lost);
        return {details, py::len(open) == 0 && py::len(left) == 0};
    }

    py::object lost_candidates(const py::object &since, const py::error_already_set &e) {
        py::object object = plan_.document["object"], operation = plan_.document["operation"];
        if (!plan_.lost_jobs.is_none())
            return plan_.lost_jobs(object, operation, since, py::frozenset(known_jobs_), e.value());
        return plan_.steps.client.attr("find_open_jobs")(object, operation, since);
    }

    // A refusal that every later batch would get too ends the creating of jobs; a creation that
    // left no job behind is tried again while the plan allows; any other failure is this batch's
    // alone.
    void creation_failed(Batch batch, const py::error_already_set &e, const LostJobs &lost) {
        note_session_lost(e);
        py::str text = describe(e);
        if (!lost_session_.is_none()) {
            report_failed(batch.number, batch.rows, py::none(), text, py::str("error"),
                          lost.details, false, false);
            stop_if_session_lost(batch.number, py::none());
            return;
        }
        if (refused_for_every_batch(e)) {
            py::dict details = about(batch.number, batch.rows);
            details["error"] = text;
            stop("refused", details);
            report_failed(batch.number, batch.rows, py::none(), text, py::str("error"),
                          lost.details, false, false);
            return;
        }
        if (lost.none_left && batch.attempt < plan_.creation_retry_delays.size()) {
            retry_creation(std::move(batch), text, lost.details);
            return;
        }
        report_failed(batch.number, batch.rows, py::none(), text, py::str("error"), lost.details,
                      !lost.none_left, true);
        outcomes_.append(
            outcome_with(batch.number, py::none(), batch.rows, py::str("error"), text));
    }

    // The batch goes back to be sent once more, after the pause the plan gives its attempt.
    void retry_creation(Batch batch, const py::str &text, const py::object &lost) {
        const double delay = plan_.creation_retry_delays[batch.attempt];
        batch.attempt += 1;
        batch.not_before = now() + delay;
        py::dict details = about(batch.number, batch.rows);
        details["error"] = text;
        details["lost_jobs"] = lost;
        details["attempt"] = py::int_(batch.attempt);
        details["delay"] = py::float_(delay);
        report("retrying", details);
        next_ = std::move(batch);
    }

    void report_creating(const Batch &batch, const py::object &since) {
        py::dict details = about(batch.number, batch.rows);
        details["first_row"] = batch.first_row;
        details["digest"] = batch.digest;
        details["since"] = since;
        details["attempt"] = py::int_(batch.attempt);
        report("creating", details);
    }

    // A batch that broke off: `lost_jobs` (what its creation's lookup found, or None), whether
    // its creation may have made a job still named nowhere (`lost`), and whether to tell the
    // user (a failure the load's stop tells is not told twice).
    void report_failed(const py::object &number, const py::object &rows, const py::object &job_id,
                       const py::str &error, const py::object &state,
                       const py::object &lost_jobs = py::none(), bool lost = false,
                       bool tell = true) {
        py::dict details = outcome_of(number, job_id, rows, state);
        details["error"] = error;
        details["lost_jobs"] = lost_jobs;
        details["lost"] = py::bool_(lost);
        details["tell"] = py::bool_(tell);
        report("failed", details);
    }

    void poll(InFlight &job) {
        py::object status;
        const py::object before = job.state;
        try {
            status = plan_.steps.status(job.job_id);
            job.state = status[py::str("state")];
        } catch (py::error_already_set &e) {
            if (!is_ordinary_error(e) || stop_requested())
                throw;
            note_session_lost(e);
            const py::object number = job.number, job_id = job.job_id;
            py::dict outcome = outcome_of(number, job_id, job.rows, py::str("unknown"));
            outcome["error"] = describe(e);
            outcome["unreadable"] = py::bool_(true);
            finish(job, outcome, "ended");
            stop_if_session_lost(number, job_id);
            return;
        }
        py::dict polled = about(job.number, job.rows, job.job_id, job.slot);
        polled["status"] = status;
        polled["state"] = job.state;
        polled["changed"] = py::bool_(!py_equal(job.state, before));
        polled["processed"] = count_in(status, "numberRecordsProcessed");
        report("polled", polled);
        if (!is_final_state(job.state)) {
            job.checks += 1;
            const size_t index = std::min(job.checks, plan_.poll_delays.size()) - 1;
            job.due = now() + plan_.poll_delays[index];
            return;
        }
        py::dict outcome = outcome_of(job.number, job.job_id, job.rows, job.state);
        outcome["processed"] = count_in(status, "numberRecordsProcessed");
        outcome["failed"] = count_in(status, "numberRecordsFailed");
        py::object reason = status.attr("get")("errorMessage");
        if (!py_equal(job.state, py::str("JobComplete")) && !reason.is_none())
            outcome["error_message"] = py::str(reason);
        finish(job, outcome, "ended");
    }

    // Records the outcome of a job that left its slot, and frees the slot.
    void finish(InFlight &job, const py::dict &outcome, const char *event) {
        py::dict details(outcome);
        details["slot"] = py::int_(job.slot + 1);
        report(event, details);
        outcomes_.append(outcome);
        slots_[job.slot] = false;
        const py::object id = job.job_id;
        running_.erase(std::remove_if(running_.begin(), running_.end(),
                                      [&](const InFlight &j) { return j.job_id.is(id); }),
                       running_.end());
    }

    static py::dict outcome_with(const py::object &number, const py::object &job_id,
                                 const py::object &rows, const py::object &state,
                                 const py::str &error) {
        py::dict outcome = outcome_of(number, job_id, rows, state);
        outcome["error"] = error;
        return outcome;
    }

    void batch_failed(const py::object &number, const py::object &rows, const py::object &job_id,
                      const py::str &error, const py::object &state = py::str("error")) {
        report_failed(number, rows, job_id, error, state);
        outcomes_.append(outcome_with(number, job_id, rows, state, error));
    }

    // --- the session --------------------------------------------------------------------------

    // The client raises SessionLost once no working token can be had: every later request would
    // be refused too.
    void note_session_lost(const py::error_already_set &e) {
        if (lost_session_.is_none() && e.matches(g("SessionLost").ptr()))
            lost_session_ = e.value().attr("reason");
    }

    // Once the session is lost no further job is created, and the load's stop names the job (or
    // the batch) where it ended.
    void stop_if_session_lost(const py::object &number, const py::object &job_id) {
        if (lost_session_.is_none() || !stopped_.is_none())
            return;
        py::dict details = about(number, py::none(), job_id);
        details["reason"] = lost_session_;
        stop("session_lost", details);
    }

    // --- the load's end ------------------------------------------------------------------------

    // The wait ran out: no job is created any more, and every job still running is named and
    // left to finish.
    void give_up_waiting() {
        stop("wait_ran_out", py::dict());
        next_.reset();
        while (!running_.empty()) {
            InFlight &job = running_.front();
            finish(job, outcome_of(job.number, job.job_id, job.rows, job.state), "left");
        }
    }

    // An interrupt ends the load: each job still processing is named, as it is left to finish.
    void leave_jobs_running() noexcept {
        try {
            for (const InFlight &job : running_) {
                py::dict details = about(job.number, job.rows, job.job_id, job.slot);
                details["state"] = job.state;
                report("left_running", details);
            }
        } catch (py::error_already_set &) {
            // The interrupt being raised matters more than a line about it.
        }
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
    py::object stopped_ = py::none();      // why no further job is created: the stop's details
    py::object lost_session_ = py::none(); // why the access token could not be renewed
    double clock_ = 0;
    double deadline_ = std::numeric_limits<double>::infinity();
};

} // namespace kavrel::vantro
