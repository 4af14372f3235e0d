// The R interface of minque-cov: a data frame and the model's arguments in,
// the engine's result tables (as column lists) out, through the library's
// public API. Errors come back as R errors carrying the engine's one-line
// message; an interrupt (Ctrl-C) is checked between estimation passes and
// stops the run, which removes everything it made.
#include <Rcpp.h>
#include <R_ext/Utils.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "minquecov/analysis.hpp"

namespace {

// R's interrupt flag, checked without letting R jump across C++ frames.
void checkInterruptFn(void*) { R_CheckUserInterrupt(); }
bool interruptPending() { return R_ToplevelExec(checkInterruptFn, nullptr) == FALSE; }

std::vector<std::string> strings(SEXP v) {
    std::vector<std::string> out;
    if (Rf_isNull(v)) return out;
    const Rcpp::CharacterVector c(v);
    for (R_xlen_t i = 0; i < c.size(); ++i) out.push_back(Rcpp::as<std::string>(c[i]));
    return out;
}

// A data frame's column as the engine's column: numbers stay numbers (NA
// and NaN are missing values); factors, characters and logicals become
// text, each value as R prints it (NA is missing).
minque::TrialColumn columnOf(const std::string& name, SEXP x) {
    minque::TrialColumn c;
    c.name = name;
    if (Rf_isFactor(x)) {
        const Rcpp::IntegerVector codes(x);
        const Rcpp::CharacterVector levels = codes.attr("levels");
        for (R_xlen_t i = 0; i < codes.size(); ++i)
            c.text.push_back(codes[i] == NA_INTEGER ? std::string("NA") : Rcpp::as<std::string>(levels[codes[i] - 1]));
        return c;
    }
    switch (TYPEOF(x)) {
        case REALSXP: {
            c.numeric = true;
            const Rcpp::NumericVector v(x);
            for (R_xlen_t i = 0; i < v.size(); ++i) c.numbers.push_back(v[i]);
            return c;
        }
        case INTSXP: {
            c.numeric = true;
            const Rcpp::IntegerVector v(x);
            for (R_xlen_t i = 0; i < v.size(); ++i)
                c.numbers.push_back(v[i] == NA_INTEGER ? std::nan("") : static_cast<double>(v[i]));
            return c;
        }
        case STRSXP: {
            const Rcpp::CharacterVector v(x);
            for (R_xlen_t i = 0; i < v.size(); ++i)
                c.text.push_back(Rcpp::CharacterVector::is_na(v[i]) ? std::string("NA") : Rcpp::as<std::string>(v[i]));
            return c;
        }
        case LGLSXP: {
            const Rcpp::LogicalVector v(x);
            for (R_xlen_t i = 0; i < v.size(); ++i)
                c.text.push_back(v[i] == NA_LOGICAL ? "NA" : v[i] ? "TRUE" : "FALSE");
            return c;
        }
        default:
            Rcpp::stop("column '" + name + "': a " + std::string(Rf_type2char(TYPEOF(x))) +
                       " column; give numbers, factors or text");
    }
}

// The words of this function's messages: its arguments, and a data
// frame's rows (its row r is the engine's line r).
minque::CallerWords wordsOfR() {
    minque::CallerWords w;
    w.call = "minque_analyse";
    w.row = "row";
    w.female = "female";
    w.male = "male";
    w.env = "env";
    w.block = "block";
    w.random = "random";
    w.fixed = "fixed";
    w.group = "group";
    w.traits = "traits";
    w.dropIncomplete = "drop_incomplete = TRUE";
    w.covariances = "covariances = TRUE";
    w.effects = "effects = TRUE";
    w.bootstrap = "bootstrap";
    w.jackknife = "se = \"jackknife\"";
    w.threads = "threads";
    w.relationship = "relationship";
    w.entry = "entry";
    return w;
}

// Marker calls of an R matrix (individuals x markers, column-major; NA
// missing) as the engine holds them, one byte each; a call other than 0, 1
// or 2 is refused naming the individual and the marker.
minque::MarkerCalls markerCallsOf(const Rcpp::NumericVector& values, const std::vector<std::string>& ids,
                                  const std::vector<std::string>& markers) {
    minque::MarkerCalls m;
    m.source = "markers";
    m.ids = ids;
    m.markers = markers;
    const std::size_t n = ids.size(), p = markers.size();
    m.calls.resize(n * p);
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < n; ++i) {
            const double call = values[static_cast<R_xlen_t>(j * n + i)];
            if (ISNAN(call)) {
                m.calls[i * p + j] = minque::kMissingCall;
            } else if (call == 0.0 || call == 1.0 || call == 2.0) {
                m.calls[i * p + j] = static_cast<signed char>(call);
            } else {
                char text[64];
                std::snprintf(text, sizeof text, "%g", call);
                minque::RunError error(minque::RunError::Kind::Stopped, "markers: individual '" + ids[i] + "', marker '" + markers[j] +
                                                                            "': the call " + text + " is not 0, 1 or 2 (or NA)");
                error.setLocation({"markers", 0, markers[j], "markers"});
                throw error;
            }
        }
    return m;
}

// The relationship matrices the R side checked and listed: per term its
// kind ("matrix", "pedigree", "markers") and what it is made from.
std::vector<std::pair<std::string, minque::RelationshipMatrix>> relationshipsOf(const Rcpp::List& listed,
                                                                               const std::function<void(const std::string&)>& note) {
    std::vector<std::pair<std::string, minque::RelationshipMatrix>> out;
    for (R_xlen_t r = 0; r < listed.size(); ++r) {
        const Rcpp::List e = listed[r];
        const std::string term = Rcpp::as<std::string>(e["term"]), kind = Rcpp::as<std::string>(e["kind"]);
        minque::RelationshipMatrix k;
        if (kind == "pedigree") {
            minque::Pedigree p;
            p.source = "pedigree";
            p.ids = strings(e["ids"]);
            p.sires = strings(e["sires"]);
            p.dams = strings(e["dams"]);
            k = minque::additiveRelationship(p);
        } else if (kind == "markers") {
            minque::GenomicRelationship g = minque::genomicRelationship(markerCallsOf(e["values"], strings(e["ids"]), strings(e["markers"])));
            char line[300];
            std::snprintf(line, sizeof line,
                          "markers: %zu individuals, %d markers used (%d monomorphic dropped), %lld missing calls set to their "
                          "marker's mean; the genomic relationship (VanRaden) blended as %g G + %g I",
                          g.matrix.ids.size(), g.markersUsed, g.monomorphic, static_cast<long long>(g.missingCalls), 1.0 - g.blend, g.blend);
            if (note) note(line);
            k = std::move(g.matrix);
        } else {
            k.ids = strings(e["ids"]);
            const Rcpp::NumericVector values = e["values"];
            const std::size_t q = k.ids.size();
            k.values.resize(q * q);
            for (std::size_t j = 0; j < q; ++j)
                for (std::size_t i = 0; i < q; ++i) k.values[i * q + j] = values[static_cast<R_xlen_t>(j * q + i)];
        }
        k.source = Rcpp::as<std::string>(e["source"]);
        out.emplace_back(term, std::move(k));
    }
    return out;
}

// An error of the engine as values for the R side, which raises it as a
// condition of class minque_error with these fields.
Rcpp::List errorOf(const minque::RunError& e) {
    const minque::RunError::Location& where = e.location();
    Rcpp::List error = Rcpp::List::create(
        Rcpp::Named("message") = e.message(), Rcpp::Named("data") = where.file,
        Rcpp::Named("row") = where.line > 0 ? Rcpp::IntegerVector::create(where.line) : Rcpp::IntegerVector::create(NA_INTEGER),
        Rcpp::Named("column") = where.column, Rcpp::Named("argument") = where.option);
    error.attr("class") = "minque_error_fields";
    return error;
}

// One table as a list of its columns, named and ordered as in its CSV file:
// text as character vectors, numbers as doubles at full precision.
Rcpp::List table(const minque::ResultTables& tables, minque::ResultTable kind) {
    const std::vector<minque::ResultRow>& rows = minque::resultRows(tables, kind);
    Rcpp::List t;
    for (const minque::ResultColumn& c : minque::resultColumns(kind, tables.method)) {
        if (c.text != nullptr) {
            Rcpp::CharacterVector v(rows.size());
            for (std::size_t i = 0; i < rows.size(); ++i) v[i] = rows[i].*c.text;
            t[c.name] = v;
            continue;
        }
        Rcpp::NumericVector v(rows.size());
        // A missing weight, interval or count, and an estimate, S.E. or P the
        // data do not define (NaN in the engine): NA, as in the CSV files.
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const double x = rows[i].*c.number;
            v[i] = std::isnan(x) ? NA_REAL : x;
        }
        t[c.name] = v;
    }
    return t;
}

}  // namespace

// [[Rcpp::export(.minque_run)]]
Rcpp::List minqueRun(Rcpp::List data, std::string dataName, Rcpp::List model, Rcpp::List options,
                     Rcpp::Nullable<Rcpp::Function> onPass, Rcpp::Nullable<Rcpp::Function> onNote) {
    minque::AnalysisRequest request;
    request.data.name = dataName;
    request.words = wordsOfR();
    const Rcpp::CharacterVector names = data.names();
    for (R_xlen_t j = 0; j < data.size(); ++j)
        request.data.columns.push_back(columnOf(Rcpp::as<std::string>(names[j]), data[j]));
    const std::size_t rows = request.data.columns.empty() ? 0 : (request.data.columns[0].numeric
                                                                     ? request.data.columns[0].numbers.size()
                                                                     : request.data.columns[0].text.size());
    for (std::size_t r = 0; r < rows; ++r) request.data.rowLines.push_back(static_cast<int>(r) + 1);

    minque::ModelSpec& m = request.model;
    m.female = Rcpp::as<std::string>(model["female"]);
    m.male = Rcpp::as<std::string>(model["male"]);
    m.env = Rcpp::as<std::string>(model["env"]);
    m.block = Rcpp::as<std::string>(model["block"]);
    m.random = strings(model["random"]);
    m.fixed = strings(model["fixed"]);
    m.trailing = Rcpp::as<int>(model["trailing"]);
    m.covariances = Rcpp::as<bool>(model["covariances"]);
    m.entry = Rcpp::as<std::string>(model["entry"]);

    minque::AnalysisOptions& o = request.options;
    o.group = Rcpp::as<int>(options["group"]);
    o.traits = strings(options["traits"]);
    o.dropIncomplete = Rcpp::as<bool>(options["drop_incomplete"]);
    o.threads = Rcpp::as<int>(options["threads"]);
    o.effects = Rcpp::as<bool>(options["effects"]);
    o.standardErrors = Rcpp::as<std::string>(options["se"]) == "bootstrap" ? minque::StandardErrors::Bootstrap
                                                                           : minque::StandardErrors::Jackknife;
    o.bootstrapSamples = Rcpp::as<int>(options["bootstrap"]);
    o.seed = static_cast<unsigned long long>(Rcpp::as<int>(options["seed"]));
    o.folder = Rcpp::as<std::string>(options["keep_files"]);
    o.keepFiles = !o.folder.empty();
    o.fileName = Rcpp::as<std::string>(options["file_name"]);

    bool interrupted = false;
    // An R error in a callback (the progress bar, the option
    // minquecov.on_pass, a message handler) stops the run, which cleans up,
    // and then goes on as the R error it is (Rcpp carries it across C++ as
    // an exception that must reach Rcpp again).
    std::exception_ptr callbackError;
    minque::AnalysisProgress progress;
    progress.passDone = [&](int k, int J) {
        try {
            if (onPass.isNotNull()) Rcpp::Function(onPass.get())(k, J);
        } catch (...) {
            callbackError = std::current_exception();
            return false;
        }
        if (interruptPending()) {
            interrupted = true;
            return false;
        }
        return true;
    };
    progress.keepGoing = [&] {
        if (interruptPending()) {
            interrupted = true;
            return false;
        }
        return true;
    };
    progress.note = [&](const std::string& note) {
        try {
            if (onNote.isNotNull()) Rcpp::Function(onNote.get())(note);
        } catch (...) {
            callbackError = std::current_exception();
            throw minque::RunError(minque::RunError::Kind::Cancelled, "a note callback failed");
        }
    };

    minque::AnalysisResult result;
    try {
        m.relationships = relationshipsOf(model["relationships"], progress.note);
        result = minque::analyse(request, progress);
    } catch (const minque::RunError& e) {
        if (e.cancelled() && interrupted) throw Rcpp::internal::InterruptedException();
        if (e.cancelled() && callbackError) std::rethrow_exception(callbackError);
        return errorOf(e);
    } catch (const std::bad_alloc&) {
        Rcpp::stop("allocation failure: not enough memory for the analysis");
    }

    const minque::AnalysisSettings& s = result.settings;
    Rcpp::IntegerVector dropped(s.droppedLines.begin(), s.droppedLines.end());
    const Rcpp::List settings = Rcpp::List::create(
        Rcpp::Named("data") = dataName, Rcpp::Named("model") = s.model, Rcpp::Named("design") = s.design,
        Rcpp::Named("observations") = s.observations,
        Rcpp::Named("rows") = s.tableRows, Rcpp::Named("dropped_rows") = dropped,
        Rcpp::Named("traits") = Rcpp::wrap(s.traits), Rcpp::Named("random_factors") = s.randomFactors,
        Rcpp::Named("components") = s.components, Rcpp::Named("group_size") = s.groupSize,
        Rcpp::Named("replicates") = s.replicates, Rcpp::Named("bootstrap_samples") = s.bootstrapSamples,
        Rcpp::Named("seed") = static_cast<double>(s.seed), Rcpp::Named("threads") = result.threads,
        Rcpp::Named("vector_path") = result.vectorPath,
        Rcpp::Named("standard_errors") = result.tables.method);
    Rcpp::List out;
    for (const minque::ResultTable kind : minque::kResultTables)
        out[minque::resultTableName(kind)] = table(result.tables, kind);
    out["correlation_components"] = Rcpp::wrap(result.tables.correlationComponents);
    out["settings"] = settings;
    out["reports"] = Rcpp::List::create(Rcpp::Named("variances") = result.varianceReport,
                                        Rcpp::Named("covariances") = result.covarianceReport);
    out["folder"] = result.folder;
    if (!result.fitted.empty()) {
        // Analysed rows x traits, as R lays out a matrix (column by column).
        const int n = s.observations, t = static_cast<int>(s.traits.size());
        out["fixed_fitted"] = Rcpp::NumericMatrix(n, t, result.fixedFitted.begin());
        out["fitted"] = Rcpp::NumericMatrix(n, t, result.fitted.begin());
    }
    return out;
}

// The flags a method's tables can carry, and what each means.
// [[Rcpp::export(.minque_flag_meanings)]]
Rcpp::DataFrame minqueFlagMeanings(std::string method) {
    std::vector<std::string> flags, meanings;
    for (const minque::FlagMeaning& f : minque::flagMeanings(method)) {
        flags.emplace_back(f.flag);
        meanings.emplace_back(f.meaning);
    }
    return Rcpp::DataFrame::create(Rcpp::Named("flag") = flags, Rcpp::Named("meaning") = meanings,
                                   Rcpp::Named("stringsAsFactors") = false);
}

// The genomic relationship of a marker matrix, for minque_grm().
// [[Rcpp::export(.minque_grm)]]
Rcpp::List minqueGrm(Rcpp::NumericVector values, std::vector<std::string> ids, std::vector<std::string> markers, double blend) {
    try {
        const minque::GenomicRelationship g = minque::genomicRelationship(markerCallsOf(values, ids, markers), blend);
        const std::size_t n = ids.size();
        Rcpp::NumericMatrix k(static_cast<int>(n), static_cast<int>(n));
        std::copy(g.matrix.values.begin(), g.matrix.values.end(), k.begin());  // symmetric: either order
        return Rcpp::List::create(Rcpp::Named("matrix") = k, Rcpp::Named("missing") = static_cast<double>(g.missingCalls),
                                  Rcpp::Named("monomorphic") = g.monomorphic, Rcpp::Named("used") = g.markersUsed);
    } catch (const minque::RunError& e) {
        return errorOf(e);
    }
}
