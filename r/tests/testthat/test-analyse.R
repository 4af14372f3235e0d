test_that("the data frames hold the command line's numbers, to every printed digit", {
  example <- diallel()
  ours <- analyse_diallel(example)
  theirs <- command_line_tables(example, c("--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk",
                                           "--se", "jackknife", "--group", "4"))
  for (name in names(theirs)) expect_printed_as(ours[[name]], theirs[[name]], name)

  general <- minque_analyse(example, group = 6, random = c("Fem", "Male", "Env*Fem"), fixed = c("1", "Env"),
                            traits = c("Yield", "GrainWt"), se = "jackknife", quiet = TRUE)
  theirs <- command_line_tables(example, c("--random", "Fem,Male,Env*Fem", "--fixed", "1,Env",
                                           "--traits", "Yield,GrainWt", "--se", "jackknife", "--group", "6"))
  for (name in c("variances", "covariances", "correlations")) expect_printed_as(general[[name]], theirs[[name]], name)
  expect_equal(unique(general$correlations$component), c("V(Fem)", "V(Male)", "V(Env*Fem)", "V(e)", "Phenotypic", "G+GE"))
})

test_that("the point estimates are the same whichever method gives the standard errors, in every frame and picture", {
  set.seed(8)
  genotypes <- sprintf("G%02d", 1:24)
  met <- expand.grid(Rep = c("R1", "R2", "R3"), Env = c("E1", "E2", "E3"), Geno = genotypes, stringsAsFactors = FALSE)
  g <- rnorm(24)
  met$y1 <- g[match(met$Geno, genotypes)] + rnorm(nrow(met))
  met$y2 <- 0.5 * g[match(met$Geno, genotypes)] + rnorm(nrow(met))
  runs <- list(diallel = function(se, ...) minque_analyse(diallel(), env = "Env", female = "Fem", male = "Male", block = "Blk",
                                                          effects = TRUE, se = se, quiet = TRUE, ...),
               met = function(se, ...) minque_analyse(met, random = c("Geno", "Geno*Env", "Env*Rep"), fixed = c("1", "Env"),
                                                      traits = c("y1", "y2"), effects = TRUE, se = se, quiet = TRUE, ...))
  for (design in names(runs)) {
    jack <- runs[[design]]("jackknife", group = 3)
    boot <- runs[[design]]("bootstrap", bootstrap = 20)
    for (frame in c("variances", "covariances", "correlations", "heritability", "effects")) {
      column <- if (frame == "effects") "effect" else "estimate"
      expect_identical(jack[[frame]][[column]], boot[[frame]][[column]], label = paste(design, frame))
    }
    grDevices::pdf(NULL)
    for (which in c("correlations", "heritability"))
      expect_identical(plot(jack, which = which, graphics = "base")$estimate,
                       plot(boot, which = which, graphics = "base")$estimate, label = paste(design, which))
    grDevices::dev.off()
  }
})

test_that("bootstrap standard errors (the default): the command line's numbers, for any thread count", {
  example <- diallel()
  ours <- minque_analyse(example, env = "Env", female = "Fem", male = "Male", block = "Blk", bootstrap = 200,
                         seed = 3, quiet = TRUE)
  theirs <- command_line_tables(example, c("--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk",
                                           "--bootstrap", "200", "--seed", "3"))
  for (name in names(theirs)) expect_printed_as(ours[[name]], theirs[[name]], name)
  expect_identical(ours$settings$standard_errors, "bootstrap")
  expect_identical(list(ours$settings$bootstrap_samples, ours$settings$seed, ours$settings$replicates),
                   list(200L, 3, 0L))
  expect_identical(analyse_diallel(example, se = "bootstrap", bootstrap = 200, seed = 3, threads = 1)$correlations,
                   ours$correlations)
  expect_output(print(ours), "Standard errors: parametric bootstrap, 200 samples \\(seed 3\\)")
  expect_message(minque_analyse(example, group = 4, env = "Env", female = "Fem", male = "Male", block = "Blk", bootstrap = 20),
                 "'group' is not used")
  expect_message(minque_analyse(example, group = 4, env = "Env", female = "Fem", male = "Male", block = "Blk",
                                se = "jackknife", seed = 5),
                 "'seed' is not used: it belongs to the bootstrap")
  expect_error(minque_analyse(example, female = "Fem", male = "Male", se = "jackknife"),
               "'group' \\(the jackknife group size\\) is required with se = \"jackknife\"")
  # Covariance components between factors: given themselves, no correlation row.
  paired <- minque_analyse(example, random = c("Fem", "Env", "Male", "Blk"), covariances = TRUE,
                           traits = c("Yield", "Height"), bootstrap = 50, quiet = TRUE)
  expect_equal(paired$covariances$weight[paired$covariances$component == "C(1,3)"], 1)
  expect_false(any(grepl("^C\\(", paired$correlations$component)))
  # Effects: +-1.96 S.E. of their prediction error; none for a term whose
  # component is at or below zero (predicted 0).
  effects <- analyse_diallel(example, se = "bootstrap", bootstrap = 50, effects = TRUE)$effects
  interval <- !is.na(effects$ci_low)
  expect_true(any(interval))
  expect_equal(effects$ci_high[interval] - effects$ci_low[interval], 2 * 1.959963984540054 * effects$se[interval])
  expect_true(all(grepl("component_not_positive", effects$flag[!interval])))
})

test_that("design codes as factors, text or integers give the same results", {
  example <- diallel()
  as_integers <- analyse_diallel(example)
  as_text <- example
  as_factors <- example
  for (column in c("Env", "Fem", "Male", "Blk")) {
    as_text[[column]] <- paste0("P", example[[column]])
    as_factors[[column]] <- factor(as_text[[column]], levels = rev(unique(as_text[[column]])))
  }
  for (other in list(analyse_diallel(as_text), analyse_diallel(as_factors)))
    for (name in c("variances", "covariances", "correlations", "heritability"))
      expect_identical(other[[name]], as_integers[[name]], label = name)
})

test_that("a missing value is refused naming its column and row, or dropped on request", {
  example <- diallel()
  example$Height[5] <- NA
  expect_error(minque_analyse(example, group = 4, env = "Env", female = "Fem", male = "Male", quiet = TRUE),
               "^example: row 5, column Height: the value is missing \\('NA'\\); give drop_incomplete = TRUE")
  expect_message(dropped <- minque_analyse(example, group = 4, env = "Env", female = "Fem", male = "Male",
                                           block = "Blk", drop_incomplete = TRUE, se = "jackknife"),
                 "dropped 1 of 84 rows with a missing value \\(rows 5\\)")
  expect_equal(dropped$settings$observations, 83L)
  expect_identical(dropped$variances, analyse_diallel(example[-5, ])$variances)
})

test_that("a bad call is an R error, and the next call works", {
  example <- diallel()
  expect_error(minque_analyse(example, group = 4, female = "Fem", male = "Dad", quiet = TRUE),
               "there is no column 'Dad'")
  expect_error(minque_analyse(example, group = 50, female = "Fem", male = "Male", se = "jackknife", quiet = TRUE),
               "84 complete rows in groups of 50 give 1 jackknife replicates")
  worded <- example
  worded$Yield <- as.character(worded$Yield)
  worded$Yield[3] <- "heavy"
  expect_error(analyse_diallel(worded), "row 3, column Yield: 'heavy' is not a number")
  # Where the error is, as fields of the condition.
  refusal <- tryCatch(analyse_diallel(worded), minque_error = function(e) e)
  expect_identical(list(refusal$data, refusal$row, refusal$column), list("data", 3L, "Yield"))
  expect_identical(tryCatch(minque_analyse(example, group = 4, female = "Fem", quiet = TRUE),
                            minque_error = function(e) c(conditionMessage(e), e$argument)),
                   c("minque_analyse: the additive-dominance model needs both female and male", "male"))
  expect_error(minque_analyse(list(a = 1), group = 2), "'data' must be a data frame")
  expect_error(minque_analyse(example, group = 0), "'group' must be a whole number")
  expect_equal(analyse_diallel(example)$settings$replicates, 21L)
})

test_that("heritabilities always, predicted effects on request", {
  r <- analyse_diallel(diallel(), traits = "Yield", effects = TRUE)
  expect_equal(r$heritability$quantity, c("h2_narrow", "h2_broad", "h2_narrow_GE", "h2_GE"))
  expect_equal(names(r$effects), c("trait", "term", "level", "effect", "se", "p", "mark", "flag"))
  expect_equal(nrow(as.data.frame(r, table = "effects", component = "A")), 6L)
  expect_null(analyse_diallel(diallel())$effects)
})

test_that("an interrupt between passes stops the run and leaves nothing behind", {
  skip_on_os("windows")
  before <- list.files(tempdir(), all.files = TRUE, no.. = TRUE)
  old <- options(minquecov.on_pass = function(k, J) if (k == 2) tools::pskill(Sys.getpid(), tools::SIGINT))
  on.exit(options(old))
  outcome <- tryCatch(analyse_diallel(diallel()), interrupt = function(e) "interrupted")
  expect_identical(outcome, "interrupted")
  expect_identical(list.files(tempdir(), all.files = TRUE, no.. = TRUE), before)
  options(old)
  expect_s3_class(analyse_diallel(diallel()), "minque")
})

test_that("an interrupt during the estimator's set-up stops the run within a fraction of a second", {
  skip_on_os("windows")
  # Two factors of 4,000 and 3,000 levels crossed at random: seconds of set-up
  # (and a thousand bootstrap samples after it); Ctrl-C comes a second in.
  r <- 0:23999
  big <- data.frame(Plot = r + 1, A = paste0("a", r %% 4000),
                    B = paste0("b", ((r * 2654435761) %% 2^32) %/% 256 %% 3000), Y = sin(0.37 * r))
  started <- Sys.time()
  system(sprintf("(sleep 1; kill -INT %d) >/dev/null 2>&1 &", Sys.getpid()))
  outcome <- tryCatch(minque_analyse(big, random = c("A", "B"), quiet = TRUE), interrupt = function(e) "interrupted")
  expect_identical(outcome, "interrupted")
  expect_lt(as.numeric(difftime(Sys.time(), started, units = "secs")), 3)
})

test_that("thousands of one-row levels are refused at once", {
  for (levels in c(5000, 50000)) {
    ones <- data.frame(G = paste0("L", seq_len(levels)), Y = (seq_len(levels) * 7919) %% 1000 / 10)
    took <- system.time(expect_error(minque_analyse(ones, random = "G", quiet = TRUE),
                                     "V\\(G\\) and V\\(e\\) cannot be separated"))[["elapsed"]]
    expect_lt(took, 10)
  }
})

test_that("a progress callback that calls minque_analyse, or fails, stops the run with its error", {
  old <- options(minquecov.on_pass = function(k, J) analyse_diallel(diallel()))
  on.exit(options(old))
  expect_error(analyse_diallel(diallel()), "called from inside a running analysis")
  options(minquecov.on_pass = function(k, J) stop("the display is gone"))
  expect_error(analyse_diallel(diallel()), "the display is gone")
  options(old)
  expect_s3_class(analyse_diallel(diallel()), "minque")
})

test_that("a date or time column is a code of the design or left out, never a trait", {
  example <- diallel()
  example$sown <- as.Date("2026-04-01") + seq_len(nrow(example)) %% 3
  expect_message(r <- minque_analyse(example, env = "Env", female = "Fem", male = "Male", block = "Blk", bootstrap = 20),
                 "left out of the traits: 'sown' \\(a date or time\\)")
  expect_false("sown" %in% r$variances$trait)
  expect_error(minque_analyse(example, env = "Env", female = "Fem", male = "Male", traits = c("Yield", "sown"),
                              quiet = TRUE), "'traits': the column 'sown' is a date or time \\(Date\\), not a trait")
  by_date <- minque_analyse(example, random = c("Fem", "sown"), traits = "Yield", bootstrap = 20, quiet = TRUE)
  expect_true("V(sown)" %in% by_date$variances$component)
})

test_that("a call through do.call names the data frame 'data', not by its whole text", {
  d <- diallel()
  expect_error(do.call(minque_analyse, list(d, female = "Fem", male = "Male", bootstrap = 20)),
               "^data: the column 'Env' is not named in the model, and it holds only the whole numbers 1..2")
  expect_error(minque_analyse(d, female = "Fem", male = "Male", bootstrap = 20),
               "^d: the column 'Env' is not named in the model.*list the traits with traits")
})

test_that("text codes equal as numbers are one level, and keep_files must name a folder", {
  example <- diallel()
  respelt <- example
  respelt$Fem <- as.character(respelt$Fem)
  respelt$Fem[c(1, 2)] <- c(paste0(respelt$Fem[1], ".0"), paste0("0", respelt$Fem[2]))
  expect_identical(analyse_diallel(respelt)$variances, analyse_diallel(example)$variances)
  file <- tempfile()
  writeLines("x", file)
  on.exit(unlink(file))
  expect_error(analyse_diallel(example, keep_files = file), "'keep_files': .* is a file, not a folder")
})

test_that("the design in one line heads the print and the summary", {
  r <- analyse_diallel(diallel(), se = "bootstrap", bootstrap = 20)
  design <- "84 observations; 6 parents, 15 crosses, 6 selfs, no reciprocals; 2 environments; 4 blocks"
  expect_identical(r$settings$design, design)
  expect_output(print(r), paste0("Design: ", design), fixed = TRUE)
  expect_output(print(summary(r)), paste0("Design: ", design), fixed = TRUE)
})
