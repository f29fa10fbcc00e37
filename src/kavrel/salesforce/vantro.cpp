// Extension module kavrel.salesforce.vantro: loads the rows of a warehouse query into a Salesforce
// object through Bulk API 2.0 ingest jobs.
//
// Two ways in. `upsert`, `insert`, `update` and `delete` are the module's own operations: `upsert`
// pages through the rows with LIMIT/OFFSET and runs one job per batch, the other three push
// everything through one job, each checking its job's status every 10 seconds. `run_load` is the
// load runner every other load goes through (the command line and `kavrel.load`): the rows of one
// read of the query, cut into batches as they stream in, up to `parallel` jobs in flight
// (vantro_runner.hpp). Both drive the same job steps (vantro_job.hpp).
//
// Pages are read with ORDER BY ALL: without an ordering a warehouse may return the rows of a
// LIMIT/OFFSET page in another order on every run, and rows would be loaded twice or never. A job
// that breaks off before its close is accepted is aborted, so nothing is left Open on the server.
// An upsert's plan and each batch's size travel in log records' `extra` (`load_rows`,
// `load_batches`; `batch`, `batch_rows`), as every job's events do.
//
// Everything the module calls (requests, json, csv, q, ingest, time, logger) is looked up in its
// namespace at call time, so patching a module global changes what the code does. `ingest` and
// `q` need only their documented functions: what else the module needs it does itself
// (vantro_records.hpp) or takes from `_bulk_api_rules`.
#include "vantro_job.hpp"
#include "vantro_records.hpp"
#include "vantro_runner.hpp"

#include <initializer_list>
#include <string>
#include <utility>

namespace {
namespace py = pybind11;
using kavrel::cat;
using kavrel::g;
using kavrel::grouped;
using namespace kavrel::vantro;

const char *const SINGLE_JOB_DOC =
    "Loads all rows of `query` into `sobject` through one Bulk API job.\n\n"
    "Returns the parsed job-creation answer once the job is JobComplete. Raises JobFailed when\n"
    "the job ends Failed or Aborted, BulkApiError when Salesforce refuses to create it,\n"
    "DuplicateColumns when two columns share a name and UploadTooLarge when the CSV is above\n"
    "the per-upload limit (both before any job exists). Any exception raised after the job was\n"
    "created carries the job's id as its `job_id` attribute; a job still Open then has been\n"
    "aborted.";

const char *const JOB_FAILED_DOC =
    "A load job that ended Failed or Aborted.\n\n"
    "Attributes: job_id (the job's id), state (its final state) and job_info (the last status\n"
    "document Salesforce gave for it, with its errorMessage when there is one).";

const char *const RUN_LOAD_DOC =
    "Runs a load: `reader`'s rows in batches, one ingest job each, up to `plan.parallel` at once.\n"
    "\n"
    "`plan` is a kavrel.load.plan.LoadPlan (its attributes are read: the client object the jobs\n"
    "go through, operation, sobject, external_id, header, nulls, batch_size, parallel, wait,\n"
    "poll_delays, total_rows, first_batch, events, skip, running, lost_jobs and\n"
    "creation_retry_delays); `reader` gives the rows (`fetchmany(n)`, or `fetchall()` when\n"
    "batch_size is None); `stop`, when given, is checked between steps and waited on between\n"
    "status checks (`is_set()`, `wait(seconds)`, and optionally `interrupt()` making the\n"
    "exception to raise; KeyboardInterrupt otherwise). Everything that happens is told to\n"
    "`plan.events.record(event, details)`, ahead of the act it announces. Returns a RunResult:\n"
    "{'jobs': [outcome, ...] in batch order, 'rows_read', 'read_complete', 'stopped'}, each\n"
    "outcome a dict of batch, job_id, rows, state, processed, failed, error and error_message,\n"
    "'stopped' the details of the load's stop or None. An interrupt tells of the jobs it\n"
    "leaves (after aborting one still Open).";

const char *const BATCH_DIGEST_DOC =
    "The digest a load's journal keeps of a batch's CSV text: the hex SHA-256 of its UTF-8.";

const char *const UPSERT_DOC =
    "\n"
    "    Upsert records to Salesforce using data from a SQL query executed against Snowflake.\n"
    "    Processes records in batches to handle large datasets efficiently.\n"
    "    \n"
    "    Args:\n"
    "        session: Snowflake session object\n"
    "        access_info: Salesforce access credentials dictionary\n"
    "        sobject: Salesforce object name (e.g., 'Account', 'Contact')\n"
    "        query: SQL query string to execute against Snowflake\n"
    "        field: External ID field name for upsert operation\n"
    "        batch_size: Number of records to process per batch (default: 25000)\n"
    "    ";

// ---------------------------------------------------------------------------------------------
// Batched upsert

struct UpsertRun {
    JobSteps steps;
    JobRequest request;
    py::object successful_batches = py::int_(0);
    py::object failed_batches = py::int_(0);
};

// Runs one ingest job over a batch's records until it ends; true when it ended "JobComplete".
// Returns the parsed creation response and the job id through `job_info` and `job_id`.
bool run_batch_job(UpsertRun &run, py::list &batch_records, py::object &job_info,
                   py::object &job_id) {
    log("debug", py::str("🔍 Converting batch records to CSV format..."));
    py::object batch_data = g("csv").attr("json_to_csv")(batch_records);
    // The records are only needed for the CSV text; letting them go now keeps one copy of the
    // batch in memory while it is uploaded.
    batch_records = py::list();
    log("debug", cat({py::str("📄 Batch CSV data length: "), grouped(kavrel::py_len(batch_data)),
                      py::str(" characters")}));
    check_upload_size(batch_data);

    log("debug", py::str("🔍 Creating Salesforce Bulk API job for this batch..."));
    py::object response = post_creation(run.request);
    py::object status_code = response.attr("status_code");
    if (!kavrel::py_equal(status_code, py::int_(200))) {
        log("error", cat({py::str("❌ Job creation failed with status "), status_code}));
        log("error", cat({py::str("❌ Response: "), response.attr("text")}));
        // Salesforce's own errorCode and message, not the HTTP library's reason phrase.
        if (status_code >= py::int_(400) && status_code < py::int_(600))
            kavrel::raise_instance(error_from_response(response));
    }
    py::object created = response.attr("json")();
    job_id = created[py::str("id")];
    job_info = created;

    bool close_sent = false;
    py::object close_results;
    try {
        log_job("info", cat({py::str("✅ Job created successfully: "), job_info}), job_id,
                "created");
        log_job("debug", cat({py::str("🆔 Job ID: "), job_id}), job_id, "created");
        log_job("debug", py::str("🔍 Sending batch CSV data to Salesforce..."), job_id, "created");
        run.steps.upload(job_id, batch_data);
        batch_data = py::none();
        log_job("info", py::str("✅ Batch file sent successfully"), job_id, "sent");

        log_job("debug", py::str("🔍 Closing job to start processing..."), job_id, "closing");
        close_sent = true;
        close_results = run.steps.close(job_id);
    } catch (py::error_already_set &) {
        run.steps.abort_if_open(job_id, close_sent);
        throw;
    }
    log_job("info", cat({py::str("✅ Job closed: "), close_results}), job_id, "closed");

    log_job("debug", py::str("🔍 Monitoring batch job status..."), job_id, "closed");
    py::object status_check_count = py::int_(0);
    py::str state_key("state");
    while (true) {
        status_check_count = status_check_count + py::int_(1);
        close_results = run.steps.status(job_id);
        log_job(
            "debug",
            cat({py::str("📊 Status check #"), status_check_count, py::str(" - ID: "),
                 close_results[py::str("id")], py::str(", Status: "), close_results[state_key]}),
            job_id, "polled", close_results);
        if (kavrel::py_equal(close_results[state_key], py::str("JobComplete"))) {
            log_job("info", py::str("✅ Batch job completed successfully!"), job_id, "ended");
            run.successful_batches = run.successful_batches + py::int_(1);
            return true;
        }
        py::object state = close_results[state_key];
        if (kavrel::py_equal(state, py::str("Failed")) ||
            kavrel::py_equal(state, py::str("Aborted"))) {
            log_job("error",
                    cat({py::str("❌ Batch job failed with status: "), close_results[state_key]}),
                    job_id, "ended");
            log_job("error", cat({py::str("❌ Full job details: "), close_results}), job_id,
                    "ended");
            run.failed_batches = run.failed_batches + py::int_(1);
            return false;
        }
        log_job("debug", py::str("⏳ Waiting 10 seconds before next status check..."), job_id,
                "polled");
        g("time").attr("sleep")(10);
    }
}

py::dict batch_result(const py::object &number, const py::object &job_id,
                      const py::object &records_processed, bool success, const char *last_key,
                      const py::object &last_value) {
    py::dict record;
    record["batch_number"] = number;
    record["job_id"] = job_id;
    record["records_processed"] = records_processed;
    record["success"] = py::bool_(success);
    record[last_key] = last_value;
    return record;
}

py::object upsert_batches(const py::object &session, const py::object &access_info,
                          const py::object &sobject, const py::object &query,
                          const py::object &field, const py::object &batch_size) {
    py::object access_token = access_info[py::str("access_token")];
    py::object base_query =
        cat({py::str("SELECT * FROM ("), query, py::str(") AS _vantro_source")});

    log("debug", py::str("🔍 STEP 1: Getting total record count..."));
    py::object count_query =
        cat({py::str("SELECT COUNT(*) as total_count FROM ("), query, py::str(")")});
    py::object count_result = session.attr("sql")(count_query).attr("collect")();
    py::object total_records = kavrel::truthy(count_result)
                                   ? py::object(count_result[py::int_(0)][py::int_(0)])
                                   : py::object(py::int_(0));
    log("info", cat({py::str("📊 Total records to process: "), grouped(total_records)}));
    if (kavrel::py_equal(total_records, py::int_(0))) {
        log("warning", py::str("⚠️ No records found to process"));
        return py::none();
    }

    py::object num_batches = kavrel::ceil_divide(total_records, batch_size);
    // A negative size would plan zero or negative batches and report a load that sent nothing
    // as completed; refuse it here, where a size of 0 already fails.
    if (batch_size < py::int_(0))
        kavrel::raise(PyExc_ValueError,
                      cat({py::str("batch_size must be a positive integer, not "), batch_size}));
    py::dict plan;
    plan["load_rows"] = total_records;
    plan["load_batches"] = num_batches;
    log_with("info",
             cat({py::str("📦 Will process "), grouped(total_records), py::str(" records in "),
                  num_batches, py::str(" batch(es) of up to "), grouped(batch_size),
                  py::str(" records each")}),
             plan);

    UpsertRun run;
    run.steps = JobSteps{g("ingest"), access_info};
    py::object instance_url = access_info[py::str("instance_url")];
    py::object bulk_api_url = cat({instance_url, default_ingest_path()});
    log("debug", cat({py::str("🔗 Bulk API URL: "), bulk_api_url}));
    py::dict job_data_template;
    job_data_template["object"] = py::str(sobject);
    job_data_template["operation"] = "upsert";
    job_data_template["externalIdFieldName"] = py::str(field);
    job_data_template["lineEnding"] = "CRLF";
    run.request = job_request(instance_url, access_token, job_data_template);
    py::list all_job_info;
    py::object total_processed = py::int_(0);

    const py::object batch_count = kavrel::checked(PyNumber_Index(num_batches.ptr()));
    const py::object one = py::int_(1);
    for (py::object batch_num = py::int_(0); batch_num < batch_count; batch_num = batch_num + one) {
        py::object offset = batch_num * batch_size;
        const py::object &limit = batch_size;
        py::object number = batch_num + one;
        log("debug", cat({py::str("🔍 STEP 2."), number, py::str(": Processing batch "), number,
                          py::str("/"), num_batches}));
        log("debug",
            cat({py::str("📊 Batch range: records "), grouped(offset + one), py::str(" to "),
                 grouped(kavrel::py_min(offset + limit, total_records))}));
        // Known once the batch's rows are read and its job is created: a batch that breaks off
        // later still names its job and its rows.
        py::object job_id = py::none();
        py::object actual_batch_size = py::int_(0);
        try {
            py::object batch_query = cat(
                {base_query, py::str(" ORDER BY ALL LIMIT "), limit, py::str(" OFFSET "), offset});
            log("debug", cat({py::str("🔍 Executing batch query: "),
                              kavrel::checked(PySequence_GetSlice(batch_query.ptr(), 0, 100)),
                              py::str("...")}));
            py::list batch_records;
            // The collected rows live only while their records are built.
            py::object results = session.attr("sql")(batch_query).attr("collect")();
            batch_records = rows_to_records(std::move(results));
            actual_batch_size = kavrel::py_len(batch_records);
            total_processed = total_processed + actual_batch_size;
            py::dict batch;
            batch["batch"] = number;
            batch["batch_rows"] = actual_batch_size;
            log_with(
                "debug",
                cat({py::str("📊 Retrieved "), grouped(actual_batch_size),
                     py::str(" records for this batch (Total processed: "),
                     grouped(total_processed), py::str("/"), grouped(total_records), py::str(")")}),
                batch);
            if (kavrel::py_equal(actual_batch_size, py::int_(0))) {
                log("warning", py::str("⚠️ No records in this batch, skipping..."));
                continue;
            }
            py::object job_info = py::none();
            bool batch_success = run_batch_job(run, batch_records, job_info, job_id);
            all_job_info.append(batch_result(number, job_id, actual_batch_size, batch_success,
                                             "job_info", job_info));
            log_job("info", cat({py::str("✅ Batch "), number, py::str(" processing completed")}),
                    job_id, "ended");
        } catch (py::error_already_set &e) {
            // Columns that repeat a name fail every batch alike: stop before any job is created.
            if (!kavrel::is_ordinary_error(e) || e.matches(g("DuplicateColumns").ptr()))
                throw;
            kavrel::HandlingException handling(e);
            py::str error = kavrel::error_text(e);
            py::str line =
                cat({py::str("❌ Error processing batch "), number, py::str(": "), error});
            if (job_id.is_none())
                log("error", line);
            else
                log_job("error", line, job_id, "error");
            run.failed_batches = run.failed_batches + one;
            all_job_info.append(
                batch_result(number, job_id, actual_batch_size, false, "error", error));
        }
    }

    log("info", py::str("✅ BATCH UPSERT PROCESSING COMPLETED"));
    log("info", cat({py::str("📊 Summary: "), grouped(total_records), py::str(" total records, "),
                     grouped(total_processed), py::str(" processed, "), run.successful_batches,
                     py::str("/"), num_batches, py::str(" successful batches")}));
    py::dict summary;
    summary["total_records"] = total_records;
    summary["records_processed"] = total_processed;
    summary["total_batches"] = num_batches;
    summary["successful_batches"] = run.successful_batches;
    summary["failed_batches"] = run.failed_batches;
    summary["batch_results"] = all_job_info;
    return std::move(summary);
}

// ---------------------------------------------------------------------------------------------
// Single-job insert, update and delete

struct SingleJob {
    const char *operation; // as sent in the job document
    const char *title;     // in the start line
    const char *word;      // in the success and failure lines
    bool rows_from_get_records;
    bool content_type;
    bool log_creation_response;
};

const SingleJob INSERT{"insert", "INSERT", "Insert", true, true, false};
const SingleJob UPDATE{"update", "UPDATE", "Update", false, false, false};
const SingleJob DELETE{"delete", "DELETE", "Delete", false, true, true};

// Upload, close and polling of the single job, once it exists.
py::object run_created_job(const SingleJob &op, const JobSteps &steps, const py::object &job_id,
                           const py::object &job_info, py::object &data) {
    bool close_sent = false;
    try {
        if (op.log_creation_response)
            log_job("debug", cat({py::str("JOB: "), job_info}), job_id, "created");
        log_job("info", cat({py::str("✅ Job created: "), job_id}), job_id, "created");
        log_job("debug", py::str("sending file"), job_id, "created");
        steps.upload(job_id, data);
        data = py::none();
        log_job("info", py::str("✅ Data sent to Salesforce"), job_id, "sent");

        log_job("debug", py::str("closing job"), job_id, "closing");
        close_sent = true;
        steps.close(job_id);
    } catch (py::error_already_set &) {
        steps.abort_if_open(job_id, close_sent);
        throw;
    }

    py::str state_key("state");
    while (true) {
        py::object close_results = steps.status(job_id);
        log_job("debug",
                cat({py::str("ID: "), close_results[py::str("id")], py::str(", Status: "),
                     close_results[state_key]}),
                job_id, "polled", close_results);
        if (kavrel::py_equal(close_results[state_key], py::str("JobComplete"))) {
            log_job("info",
                    cat({py::str("✅ "), py::str(op.word), py::str(" completed successfully!")}),
                    job_id, "ended");
            return job_info;
        }
        py::object state = close_results[state_key];
        if (kavrel::py_equal(state, py::str("Failed")) ||
            kavrel::py_equal(state, py::str("Aborted"))) {
            log_job("error",
                    cat({py::str("❌ "), py::str(op.word), py::str(" job failed with status: "),
                         close_results[state_key]}),
                    job_id, "ended");
            log_job("error", cat({py::str("❌ Job details: "), close_results}), job_id, "ended");
            py::object error = g("JobFailed")(cat(
                {py::str("Salesforce "), py::str(op.operation), py::str(" job failed: "), state}));
            error.attr("job_id") = job_id;
            error.attr("state") = state;
            error.attr("job_info") = close_results;
            kavrel::raise_instance(error);
        }
        g("time").attr("sleep")(10);
    }
}

py::object run_single_job(const SingleJob &op, const py::object &session,
                          const py::object &access_info, const py::object &sobject,
                          const py::object &query) {
    py::object access_token = access_info[py::str("access_token")];
    log("info", cat({py::str("🚀 STARTING SALESFORCE "), py::str(op.title)}));
    log("info", cat({py::str("📋 Parameters: SObject="), sobject}));

    py::object records;
    if (op.rows_from_get_records) {
        records = g("q").attr("get_records")(session, query);
    } else {
        py::object results = session.attr("sql")(query).attr("collect")();
        records = rows_to_records(std::move(results));
    }
    log("info", cat({py::str("📊 Records to "), py::str(op.operation), py::str(": "),
                     grouped(kavrel::py_len(records))}));
    py::object data = g("csv").attr("json_to_csv")(records);
    records = py::none();
    check_upload_size(data);

    py::dict job_data;
    job_data["object"] = py::str(sobject);
    if (op.content_type)
        job_data["contentType"] = "CSV";
    job_data["operation"] = op.operation;
    job_data["lineEnding"] = "CRLF";
    const JobRequest request =
        job_request(access_info[py::str("instance_url")], access_token, job_data);

    log("debug", py::str("creating job"));
    // A refused creation raises BulkApiError with Salesforce's errorCode and message.
    py::object job_info = created_job(post_creation(request));
    py::object job_id = job_info[py::str("id")];
    try {
        return run_created_job(op, JobSteps{g("ingest"), access_info}, job_id, job_info, data);
    } catch (py::error_already_set &e) {
        // Whatever ends the call from here on names the job it leaves behind.
        if (PyObject_SetAttrString(e.value().ptr(), "job_id", job_id.ptr()) != 0)
            PyErr_Clear();
        throw;
    }
}

// ---------------------------------------------------------------------------------------------
// Public functions

py::object upsert(const py::object &session, const py::object &access_info,
                  const py::object &sobject, const py::object &query, const py::object &field,
                  const py::object &batch_size) {
    log("info", py::str("🚀 STARTING SALESFORCE UPSERT WITH BATCH PROCESSING"));
    log("info", cat({py::str("📋 Parameters: SObject="), sobject, py::str(", Field="), field,
                     py::str(", Batch Size="), grouped(batch_size)}));
    try {
        return upsert_batches(session, access_info, sobject, query, field, batch_size);
    } catch (py::error_already_set &e) {
        if (!kavrel::is_ordinary_error(e))
            throw;
        kavrel::HandlingException handling(e);
        log("error", py::str("❌ UPSERT FAILED"));
        log("error", cat({py::str("Error: "), kavrel::error_text(e)}));
        log("error", cat({py::str("Error type: "), kavrel::error_type_name(e)}));
        throw;
    }
}

py::object insert(const py::object &session, const py::object &access_info,
                  const py::object &sobject, const py::object &query) {
    return run_single_job(INSERT, session, access_info, sobject, query);
}

py::object update(const py::object &session, const py::object &access_info,
                  const py::object &sobject, const py::object &query) {
    return run_single_job(UPDATE, session, access_info, sobject, query);
}

// The load runner (vantro_runner.hpp) over `reader`'s rows, as `plan` describes the load.
py::object run_load(const py::object &plan, const py::object &reader, const py::object &stop) {
    return LoadRun(plan, reader, stop).run();
}

py::object digest_of_batch(const py::object &csv_text) {
    kavrel::require_str(csv_text, "csv_text");
    return batch_digest(csv_text);
}

// `field` is part of the signature callers use and is deliberately not read.
py::object delete_(const py::object &session, const py::object &access_info,
                   const py::object &sobject, const py::object &query, const py::object &) {
    return run_single_job(DELETE, session, access_info, sobject, query);
}

} // namespace

PYBIND11_MODULE(vantro, m) {
    kavrel::bind_module_globals(m);
    kavrel::set_global("requests", py::module_::import("requests"));
    kavrel::set_global("json", py::module_::import("json"));
    kavrel::set_global("logging", py::module_::import("logging"));
    kavrel::set_global("csv", kavrel::from_import("kavrel.util", "csv"));
    kavrel::set_global("q", kavrel::from_import("kavrel.sflake", "query"));
    kavrel::set_global("ingest", kavrel::from_import("kavrel.salesforce", "ingest_bapi20"));
    kavrel::set_global("time", py::module_::import("time"));
    kavrel::set_global("logger", g("logging").attr("getLogger")("kavrel.salesforce.vantro"));
    kavrel::set_global("hashlib",
                       py::module_::import("hashlib")); // the digests of journaled batches
    // What the module needs of the Bulk API beyond the client's documented functions: bound
    // here once, so a caller's stand-in for `ingest` need not offer it.
    kavrel::set_global("_bulk_api_rules", py::module_::import("kavrel.salesforce.ingest_bapi20"));
    kavrel::set_global("BulkApiError", g("_bulk_api_rules").attr("BulkApiError"));
    kavrel::set_global("SessionLost", g("_bulk_api_rules").attr("SessionLost"));
    kavrel::set_global("UploadTooLarge", g("_bulk_api_rules").attr("UploadTooLarge"));
    kavrel::set_global("DuplicateColumns",
                       kavrel::from_import("kavrel.sflake.query", "DuplicateColumns"));
    kavrel::set_global("JobFailed", kavrel::checked(PyErr_NewExceptionWithDoc(
                                        "kavrel.salesforce.vantro.JobFailed", JOB_FAILED_DOC,
                                        PyExc_RuntimeError, nullptr)));

    kavrel::def(
        m, "upsert",
        {"session", "access_info", "sobject", "query", "field", {"batch_size", py::int_(25000)}},
        &upsert, UPSERT_DOC);
    kavrel::def(m, "update", {"session", "access_info", "sobject", "query"}, &update,
                SINGLE_JOB_DOC);
    kavrel::def(m, "insert", {"session", "access_info", "sobject", "query"}, &insert,
                SINGLE_JOB_DOC);
    kavrel::def(m, "delete", {"session", "access_info", "sobject", "query", "field"}, &delete_,
                SINGLE_JOB_DOC);
    kavrel::def(m, "run_load", {"plan", "reader", {"stop", py::none()}}, &run_load, RUN_LOAD_DOC);
    kavrel::def(m, "batch_digest", {"csv_text"}, &digest_of_batch, BATCH_DIGEST_DOC);
}
