# The bundled diallel and its model, and the command line's tables for a
# data frame (when MINQUE_BIN names the minque program, as scripts/test.sh
# sets it; skipped elsewhere, for example under R CMD check).
diallel <- function() {
  e <- new.env()
  utils::data("example_diallel", package = "minquecov", envir = e)
  e$example_diallel
}

# The jackknife over groups of 4 rows unless se says otherwise.
analyse_diallel <- function(data, se = "jackknife", ...) {
  group <- if (se == "jackknife") 4 else NULL
  minque_analyse(data, group = group, env = "Env", female = "Fem", male = "Male", block = "Blk", quiet = TRUE,
                 se = se, ...)
}

command_line_tables <- function(data, args) {
  program <- Sys.getenv("MINQUE_BIN")
  skip_if(program == "", "MINQUE_BIN does not name the minque program")
  dir <- tempfile("cli")
  dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE))
  utils::write.csv(data, file.path(dir, "trial.csv"), row.names = FALSE, quote = FALSE)
  status <- system2(program, c("analyse", file.path(dir, "trial.csv"), "--out", file.path(dir, "out"), args),
                    stdout = FALSE, stderr = FALSE)
  expect_equal(status, 0)
  tables <- list()
  for (name in c("variances", "covariances", "correlations", "heritability"))
    tables[[name]] <- utils::read.csv(file.path(dir, "out", paste0(name, ".csv")), colClasses = "character",
                                      na.strings = character())
  tables
}

# A data frame of ours printed as the CSV files print it (the reports'
# formats), equal to the command line's text, column for column.
expect_printed_as <- function(ours, theirs, table) {
  estimate <- if (table %in% c("correlations", "heritability")) "%f" else "%g"
  formats <- c(weight = "%g", estimate = estimate, effect = "%g", se = "%g", p = "%.3g", ci_low = estimate,
               ci_high = estimate, undefined_draws = "%.0f")
  expect_identical(names(ours), names(theirs), label = table)
  for (column in names(theirs)) {
    mine <- ours[[column]]
    if (column %in% names(formats))
      mine <- ifelse(is.nan(mine), "nan", ifelse(is.na(mine), "", sprintf(formats[[column]], mine)))
    expected <- sub("^-nan$", "nan", theirs[[column]])
    # A P value below 1e-10 (flagged p_floor) is the rounding of a t tail:
    # its digits differ between builds of the estimator's kernels.
    if (column == "p") {
      floor <- function(p) ifelse(!is.na(suppressWarnings(as.numeric(p))) & suppressWarnings(as.numeric(p)) < 1e-10, "<1e-10", p)
      mine <- floor(mine)
      expected <- floor(expected)
    }
    expect_identical(mine, expected, label = paste(table, column))
  }
}
