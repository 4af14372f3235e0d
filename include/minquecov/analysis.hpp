// minque-cov as a library: one call from a trial table in memory to the
// variance and covariance components and the correlations of its traits,
// with parametric-bootstrap (or jackknife) standard errors, exactly as
// `minque analyse` computes them (the front door is a caller of this
// function).
//
//   minque::AnalysisRequest request;
//   request.data = minque::trialDataFromText(csvText, "TRIAL.csv");
//   request.model.female = "Fem";  request.model.male = "Male";
//   request.model.env = "Env";     request.model.block = "Blk";
//   const minque::AnalysisResult result = minque::analyse(request);
//
// The call never ends the process and writes no file unless asked: the
// estimates of every pass stay in memory and the reports are returned as
// text. Every failure (a column that is not there, a text value in a trait,
// a model the engine refuses, a file that cannot be written, a cancel) is
// thrown as a minque::RunError whose message is the one line the command
// line prints; nothing of the run is left behind (a folder given holds what
// it held before). After an error the next call starts afresh.
//
// Calls from several threads of one process are safe: they run one after the
// other (the engine's worker threads are shared by the process), each with
// its own settings, and give the same results as calls made one by one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "minquecov/error.hpp"
#include "minquecov/relationship.hpp"
#include "minquecov/results.hpp"

namespace minque {

// One column of a trial table: text (design codes such as "P3" or "Env2",
// or numbers as text) or numbers. A missing value is an empty field, NA, "."
// or NaN in a text column, and NaN in a numeric one.
struct TrialColumn {
    std::string name;
    bool numeric = false;
    std::vector<std::string> text;  // a text column: one field per row
    std::vector<double> numbers;    // a numeric column: one value per row
};

// A trial table: named columns of equal length, one row per plot or cell
// mean, in the order of the jackknife groups (consecutive rows are deleted
// together).
struct TrialData {
    std::string name = "data";   // names the table in messages: a file name, a data frame's name
    std::vector<TrialColumn> columns;
    // The line of the table's file where each row starts, for messages; when
    // empty, row r (from 0) is said to be on line r + 2, after a header line.
    std::vector<int> rowLines;
};

// The table of a file's text as `minque analyse` reads it: a header line of
// column names, then one row per line; fields separated by commas, tabs or
// white space (the separator is taken from the header), quotes as in CSV.
// Every column is a text column. A malformed text is a RunError naming
// `name` and the line.
TrialData trialDataFromText(const std::string& text, const std::string& name);
TrialData trialDataFromFile(const std::string& path);

// The model. Either the additive-dominance model of a mating design (female
// and male parent columns, optional environment and block columns) or a
// general model (random terms "COL" or "COL1*COL2", fixed terms "1" for the
// intercept and columns, and how many trailing random terms are blocks that
// are estimated but not reported).
struct ModelSpec {
    std::string female, male, env, block;
    std::vector<std::string> random;
    std::vector<std::string> fixed = {"1"};
    int trailing = 0;
    bool covariances = false;  // also the covariance components between factors
    // Relationship matrices: (term, K). The term is a random main effect of
    // a general model whose levels are K's ids (K may hold more: relatives
    // without records, whose effects are predicted too); an interaction of
    // it with another column takes K x I. Not with the jackknife or
    // covariance components between factors.
    std::vector<std::pair<std::string, RelationshipMatrix>> relationships;
    // The entry term of the line-mean heritability (the genotypes of a
    // general model's trial); empty: the one random main effect that can be
    // it, if only one can.
    std::string entry;
};

// How the standard errors, P values and marks are computed: the
// delete-a-group jackknife of the reports (and the three programs), or the
// parametric bootstrap at the whole-data components, which holds in diallels
// and crossed designs where the row jackknife understates the spread of
// genetic components (see the guide).
enum class StandardErrors { Jackknife, Bootstrap };

struct AnalysisOptions {
    // The standard errors: the parametric bootstrap by default; the jackknife
    // of the reports (and of the three programs) on request.
    StandardErrors standardErrors = StandardErrors::Bootstrap;
    int group = 0;                    // jackknife group size: consecutive rows deleted together (the jackknife needs it)
    // The bootstrap: B samples, drawn from this seed (the same tables for any
    // thread count). With it the run makes no reports (NAME.VAR, NAME.COV,
    // MATWRN.var): those are the jackknife's. The effects' standard errors
    // are then their prediction errors (Henderson's equations).
    int bootstrapSamples = 1000;
    unsigned long long seed = 1;
    std::vector<std::string> traits;  // empty: every column that is not in the model
    bool dropIncomplete = false;      // drop the rows with a missing value instead of refusing them
    // Worker threads; 0: one per hardware thread. More than the hardware's
    // are capped to them with a note (they would only wait for one
    // another); when the system refuses to start some, the run goes on with
    // those that started, with a note (the results do not depend on it).
    int threads = 0;
    bool chinese = false;             // language of the reports (the tables are English)
    bool hostOnly = false;            // the inverse on the host even when a CUDA device is present
    // Also predict the random effects of every level (parents, crosses, ...),
    // with the square roots of their prediction error variances as standard
    // errors (bootstrap runs) or jackknife standard errors: one solve of the
    // mixed model equations per trait and pass. Not with covariance
    // components between factors.
    bool effects = false;
    // Also return the covariance records of every pair (AnalysisResult::
    // covarianceRecords): (J + 1) P records with the jackknife, the P of all
    // data with the bootstrap, held in memory.
    bool covarianceRecords = false;
    // The folder for the run's files, as the three programs would read and
    // write them (the engine's input files NAME.TXT, NAME.MAT, NAME.DAT, the
    // reports NAME.VAR and NAME.COV, and MATWRN.var). Empty: no file at all,
    // unless keepFiles asks for them in a new temporary folder.
    std::string folder;
    bool keepFiles = false;
    // NAME of the files; empty: the table's name without folder and extension.
    std::string fileName;
};

// How the caller names things in its messages: its call, a row of its
// table, and each field of the request. The command line's words by
// default; another host (the R package) gives its own, so that every
// message speaks its user's language without rewriting text.
struct CallerWords {
    std::string call = "analyse";
    std::string row = "line";  // a data frame's rows are "row"s
    std::string female = "--female", male = "--male", env = "--env", block = "--block", random = "--random";
    std::string fixed = "--fixed";
    std::string group = "--group", traits = "--traits", dropIncomplete = "--drop-incomplete";
    std::string covariances = "--covariances", effects = "--effects";
    std::string bootstrap = "--bootstrap", jackknife = "--se jackknife", threads = "--threads";
    std::string relationship = "--relationship", entry = "--entry";
};

struct AnalysisRequest {
    TrialData data;
    ModelSpec model;
    AnalysisOptions options;
    CallerWords words;
};

// What a run will do, known before its first estimation pass.
struct AnalysisSettings {
    int observations = 0;             // n, after any rows dropped
    int tableRows = 0;                // rows of the table
    std::vector<int> droppedLines;    // lines of the rows dropped with a missing value
    std::vector<std::string> traits;
    int randomFactors = 0;            // r
    int components = 0;               // K, the residual included
    int groupSize = 0;                // g (the jackknife; 0 with the bootstrap)
    int replicates = 0;               // J = n / g (the jackknife; 0 with the bootstrap)
    int bootstrapSamples = 0;         // B (the bootstrap; 0 with the jackknife)
    unsigned long long seed = 0;      // the seed of the bootstrap's draws
    std::string model;                // "additive-dominance (environment Env, female Fem, male Male, block Blk)", "general: ..."
    // What the design holds, in one line: "84 observations; 6 parents, 15
    // crosses, 6 selfs, no reciprocals; 2 environments; 4 blocks", or a
    // general model's levels of every random term.
    std::string design;
    std::string fileName;             // NAME of the run's files
};

// Told as the analysis goes; any may be empty. `note` gets a line for the
// user that is not an error (the rows dropped with a missing value);
// `passDone` is told after every estimation pass of the jackknife (replicate
// 0 is the whole data, then 1..J), or with the bootstrap after the
// whole-data estimates (0, B) and after every block of samples (b, B); it returns
// false to stop the run before the next pass or block:
// the call then throws a RunError of kind Cancelled and leaves nothing
// behind. `keepGoing` is asked on the calling thread every few hundred
// milliseconds of the work between passes (the estimator's set-up, which
// takes seconds on the largest designs); false stops the run the same way.
// Each may also throw a RunError of its own to the same effect.
struct AnalysisProgress {
    std::function<void(const std::string& note)> note;
    std::function<bool(int replicate, int replicates)> passDone;
    std::function<bool()> keepGoing;
};

// The variance file's records: (J + 1) t records of K + 1 floats, record
// k t + (i - 1) holding the components of trait i in replicate k (0: all
// data), float 0 of each record without meaning.
struct VarianceRecords {
    int traits = 0, replicates = 0, components = 0;
    std::vector<float> values;
};

// On request (AnalysisOptions::covarianceRecords), the covariance components
// of every trait pair in the same layout:
// (J + 1) P records, record k P + p holding pair p (pairs in the order
// (1, 2), (1, 3), ..., (t - 1, t)) in replicate k. The whole-data and
// replicate values behind every standard error of the covariance report;
// with the bootstrap the P records of all data (J = 0).
struct CovarianceRecords {
    int pairs = 0, replicates = 0, components = 0;
    std::vector<float> values;
};

struct AnalysisResult {
    AnalysisSettings settings;
    ResultTables tables;
    std::string varianceReport, covarianceReport;  // the text of NAME.VAR and NAME.COV
    VarianceRecords varianceRecords;
    CovarianceRecords covarianceRecords;
    // With the effects: per trait i the fitted fixed part X b (b the GLS
    // estimate of the fixed effects at the trait's components) of the
    // analysed row j, i n + j; NaN for a trait without predictions.
    std::vector<double> fixedFitted;
    std::vector<double> fitted;  // the same for the conditional fitted values X b + U u^
    std::string folder;  // where the run's files are, when asked for; else empty
    int threads = 0;            // worker threads the run used
    std::string vectorPath;     // the vector instructions of the host kernels
};

AnalysisResult analyse(const AnalysisRequest& request, const AnalysisProgress& progress = {});

// The same call in two steps, for a caller that wants every refusal before
// it creates anything (the command line's output folder): prepareAnalysis
// checks the request, codes the table and builds the model, writing nothing;
// runAnalysis then writes the files and runs the jackknife, once. The folder
// may be changed between the two.
struct PreparedModel;
struct PreparedModelAccess;
struct PreparedAnalysis {
    AnalysisSettings settings;
    AnalysisOptions options;
    CallerWords words;

    // A run uses up the prepared model, so a preparation runs once: it moves,
    // it is not copied (a copy would run on the state its original changed),
    // and the model is the library's alone.
    PreparedAnalysis() = default;
    PreparedAnalysis(PreparedAnalysis&&) = default;
    PreparedAnalysis& operator=(PreparedAnalysis&&) = default;
    PreparedAnalysis(const PreparedAnalysis&) = delete;
    PreparedAnalysis& operator=(const PreparedAnalysis&) = delete;

private:
    friend struct PreparedModelAccess;
    std::shared_ptr<PreparedModel> model_;  // the design, its estimation and the engine's state
};
PreparedAnalysis prepareAnalysis(const AnalysisRequest& request, const AnalysisProgress& progress = {});
AnalysisResult runAnalysis(PreparedAnalysis&& prepared, const AnalysisProgress& progress = {});

// The checks of the model and the group size alone, which the command line
// makes before it reads the table.
void checkModelSpec(const ModelSpec& model, const AnalysisOptions& options, const CallerWords& words = {});

}  // namespace minque
