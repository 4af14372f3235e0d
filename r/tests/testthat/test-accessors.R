# The accessors against the tables. The expected numbers are those of the
# command line's CSV tables for the bundled diallel with B = 100 and seed 7
# (tests/data/bootstrap/example_*.csv of the source tree: the same seed gives
# the same tables in R), or the command line's own tables when MINQUE_BIN
# names the program.
bootstrap_run <- function(...) analyse_diallel(diallel(), se = "bootstrap", bootstrap = 100, seed = 7, ...)

test_that("VarCorr gives every term's covariance matrix with lme4's attributes, from the tables", {
  r <- bootstrap_run()
  v <- VarCorr(r)
  expect_s3_class(v, "VarCorr.minque")
  expect_identical(names(v), c("A", "D", "AE", "DE", "Residual"))
  a <- v$A
  expect_true(is.matrix(a))
  expect_identical(dimnames(a), list(r$settings$traits, r$settings$traits))
  # correlations.csv: Yield,Height,V(A),0.463134,0.523309,... and GrainWt,Heading,V(A),-0.430358,0.425051
  expect_equal(attr(a, "correlation")["Height", "Yield"], 0.463134, tolerance = 1e-6)
  expect_equal(attr(a, "correlation")["Yield", "Height"], 0.463134, tolerance = 1e-6)
  expect_equal(attr(a, "correlation_se")["Heading", "GrainWt"], 0.425051, tolerance = 1e-6)
  expect_equal(unname(diag(attr(a, "correlation"))), rep(1, 4))
  expect_equal(attr(a, "stddev"), sqrt(diag(a)))
  expect_identical(attr(a, "correlation_flag")["Yield", "Height"], "few_levels")
  expect_identical(attr(v$AE, "correlation_flag")["Height", "Yield"], "cut;psd_adjusted;few_levels")
  expect_equal(attr(v, "sc"), sigma(r))
  # The covariance components between factors have no correlations.
  paired <- minque_analyse(diallel(), random = c("Fem", "Env", "Male", "Blk"), covariances = TRUE,
                           traits = c("Yield", "Height"), bootstrap = 50, quiet = TRUE)
  expect_null(attr(VarCorr(paired)[["C(1,3)"]], "correlation"))
  # lme4's data frame: grp, var1, var2, vcov, sdcor, and the analysis' S.E.s and flags.
  d <- as.data.frame(v)
  expect_identical(names(d), c("grp", "var1", "var2", "vcov", "sdcor", "std.error", "flag", "cor.std.error"))
  expect_equal(nrow(d), 5L * 10L)
  hit <- d$grp == "A" & d$var1 == "Yield" & d$var2 %in% "Height"
  expect_equal(d$sdcor[hit], 0.463134, tolerance = 1e-6)
  expect_equal(d$sdcor[d$grp == "A" & d$var1 == "Yield" & is.na(d$var2)], unname(attr(a, "stddev")["Yield"]))
  expect_output(print(v), "Groups +Name +Variance +Std.Dev. +Corr")
  expect_output(print(v), "0.463!")

  theirs <- command_line_tables(diallel(), c("--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk",
                                             "--bootstrap", "100", "--seed", "7"))
  cv <- theirs$covariances[theirs$covariances$component == "V(D)" & theirs$covariances$trait_1 == "Height" &
                             theirs$covariances$trait_2 == "Heading", ]
  expect_equal(v$D["Heading", "Height"], as.numeric(cv$estimate), tolerance = 1e-5)
  expect_equal(attr(v$D, "se")["Height", "Heading"], as.numeric(cv$se), tolerance = 1e-5)
  va <- theirs$variances[theirs$variances$component == "V(e)" & theirs$variances$trait == "GrainWt", ]
  expect_equal(v$Residual["GrainWt", "GrainWt"], as.numeric(va$estimate), tolerance = 1e-5)
})

test_that("estimates, confint and nobs name every estimate alike, with the analysis' own intervals", {
  r <- bootstrap_run()
  b <- estimates(r)
  expect_equal(length(b), nrow(r$variances) + nrow(r$covariances) + nrow(r$correlations) + nrow(r$heritability))
  expect_equal(b[["cor V(A) Yield:Height"]], 0.463134, tolerance = 1e-6)
  expect_equal(b[["h2_narrow Yield"]], 0.603426, tolerance = 1e-6)
  expect_identical(names(estimates(r, table = "heritability"))[1:2], c("h2_narrow Yield", "h2_broad Yield"))
  # heritability.csv: Yield,h2_narrow,0.603426,0.240367,-0.016031,0.830180
  ci <- confint(r, "h2_narrow Yield")
  expect_identical(dimnames(ci), list("h2_narrow Yield", c("2.5 %", "97.5 %")))
  expect_identical(round(unname(ci[1, ]), 6), c(-0.016031, 0.830180))
  expect_equal(rownames(confint(r, "V(A)")), names(b)[grepl(" V\\(A\\) ", names(b))])
  expect_equal(nrow(confint(r)), length(b))
  expect_error(confint(r, level = 0.9), "'level' must be 0.95")
  expect_error(confint(r, "h2 Yield"), "no estimate named 'h2 Yield'")
  expect_equal(nobs(r), 84L)

  # The jackknife: t intervals on J - 1 = 20 degrees of freedom at any level
  # (heritability.csv of --se jackknife --group 4: Yield,h2_narrow,0.603426,0.0724704).
  j <- analyse_diallel(diallel())
  expect_equal(unname(confint(j, "h2_narrow Yield", level = 0.9)[1, ]),
               0.603426 + c(-1, 1) * stats::qt(0.95, 20) * 0.0724704, tolerance = 1e-6)
})

test_that("tidy and glance give one row per estimate and one per analysis", {
  r <- bootstrap_run(effects = TRUE)
  t <- tidy(r)
  expect_identical(names(t), c("table", "component", "trait_1", "trait_2", "term", "estimate", "std.error",
                               "conf.low", "conf.high", "p.value", "mark", "flag"))
  expect_s3_class(t, "tbl_df")
  expect_identical(t$term, names(estimates(r)))
  row <- t[t$term == "cor V(A) Yield:Height", ]
  # As the CSV prints them: %f, %g and %.3g.
  expect_identical(c(round(c(row$estimate, row$conf.low, row$conf.high), 6), signif(row$std.error, 6), signif(row$p.value, 3)),
                   c(0.463134, -0.748898, 1, 0.523309, 0.376))
  expect_identical(unique(tidy(r, "correlations")$table), "correlations")
  e <- tidy(r, "effects")
  expect_identical(names(e), c("trait", "term", "level", "estimate", "std.error", "conf.low", "conf.high",
                               "p.value", "mark", "flag"))
  expect_equal(e$conf.low, r$effects$ci_low)
  expect_equal(nrow(tidy(r, conf.int = FALSE)), nrow(t))
  g <- glance(r)
  expect_equal(nrow(g), 1L)
  expect_identical(g$design, "84 observations; 6 parents, 15 crosses, 6 selfs, no reciprocals; 2 environments; 4 blocks")
  expect_identical(list(g$nobs, g$traits, g$components, g$bootstrap_samples), list(84L, 4L, 6L, 100L))
  # The generics are broom's and lme4's own: attaching nlme masks nothing.
  expect_identical(VarCorr, nlme::VarCorr)
  expect_identical(tidy, generics::tidy)
  expect_silent(suppressPackageStartupMessages(library(nlme, warn.conflicts = TRUE)))
  skip_if_not_installed("lme4")
  expect_identical(VarCorr, lme4::VarCorr)
  expect_identical(ranef, lme4::ranef)
})

test_that("ranef gives each term's effects by level, in the order of the factors' levels", {
  example <- diallel()
  r <- analyse_diallel(example, se = "bootstrap", bootstrap = 50, effects = TRUE)
  re <- ranef(r)
  expect_identical(names(re), unique(r$effects$term))
  a <- re$A
  expect_identical(names(a), r$settings$traits)
  expect_identical(rownames(a), as.character(1:6))
  expect_equal(a["4", "Height"], r$effects$effect[r$effects$trait == "Height" & r$effects$term == "A" &
                                                    r$effects$level == "4"])
  expect_equal(attr(a, "se")$Yield, r$effects$se[r$effects$trait == "Yield" & r$effects$term == "A"])
  expect_equal(dim(attr(a, "condVar")), c(4L, 4L, 6L))
  expect_equal(attr(a, "condVar")["Yield", "Yield", ], attr(a, "se")$Yield^2, ignore_attr = TRUE)
  expect_identical(names(ranef(r, term = "D")), "D")
  expect_output(print(re), "\\$A")
  expect_error(ranef(analyse_diallel(example)), "effects = TRUE")
  # Parents as a factor whose levels run P6 .. P1: the effects follow them.
  as_factors <- example
  for (column in c("Fem", "Male")) as_factors[[column]] <- factor(paste0("P", example[[column]]), levels = paste0("P", 6:1))
  f <- analyse_diallel(as_factors, se = "bootstrap", bootstrap = 50, effects = TRUE)
  expect_identical(rownames(ranef(f)$A), paste0("P", 6:1))
  expect_identical(head(rownames(ranef(f)$D), 3), c("P6 x P6", "P5 x P6", "P5 x P5"))
  expect_equal(ranef(f)$A$Yield, rev(a$Yield))
  # A level's row by its name, as in lme4.
  expect_equal(ranef(f)$A["P4", "Height"], a["4", "Height"])
  expect_equal(attr(ranef(f)$A, "se")["P4", "Yield"], attr(a, "se")["4", "Yield"])
})

test_that("sigma is each trait's residual standard deviation; fixef, fitted and residuals need the effects", {
  r <- bootstrap_run()
  e <- r$variances[r$variances$component == "V(e)", ]
  expect_equal(sigma(r), setNames(sqrt(e$estimate), e$trait))
  for (f in list(fixef, fitted, residuals, coef)) expect_error(f(r), "run minque_analyse\\(\\) with effects = TRUE")
})

# A balanced trial, where MINQUE(0/1) is REML: the accessors give lme4's
# numbers in lme4's shapes.
test_that("VarCorr, ranef, fixef, coef, fitted and residuals are lme4's on a balanced univariate trial", {
  skip_if_not_installed("lme4")
  set.seed(11)
  genotypes <- sprintf("G%02d", 1:20)
  d <- expand.grid(Rep = c("R1", "R2"), Env = c("E1", "E2", "E3"), Geno = genotypes, stringsAsFactors = FALSE)
  gi <- match(d$Geno, genotypes)
  ei <- match(d$Env, c("E1", "E2", "E3"))
  g <- rnorm(20, 0, 1.5)
  ge <- rnorm(60, 0, 0.8)
  d$y1 <- 10 + 2 * ei + g[gi] + ge[(gi - 1) * 3 + ei] + rnorm(nrow(d))
  fit <- minque_analyse(y1 ~ Env + (1 | Geno) + (1 | Geno:Env), d, effects = TRUE, bootstrap = 20, quiet = TRUE)
  m <- lme4::lmer(y1 ~ Env + (1 | Geno) + (1 | Geno:Env), d, REML = TRUE)
  v <- VarCorr(fit)
  theirs <- lme4::VarCorr(m)
  expect_true(is.matrix(v$Geno))
  expect_equal(unname(attr(v$Geno, "stddev")), unname(attr(theirs$Geno, "stddev")), tolerance = 1e-4)
  expect_equal(unname(attr(v$Geno, "correlation")), unname(attr(theirs$Geno, "correlation")))
  expect_equal(unname(attr(v, "sc")), attr(theirs, "sc"), tolerance = 1e-4)
  expect_equal(ranef(fit)$Geno["G01", "y1"], lme4::ranef(m)$Geno["G01", "(Intercept)"], tolerance = 1e-4)
  expect_equal(ranef(fit)$Geno$y1, lme4::ranef(m)$Geno[rownames(ranef(fit)$Geno), 1], tolerance = 1e-4)
  expect_equal(fixef(fit), lme4::fixef(m), tolerance = 1e-4)
  expect_equal(as.matrix(coef(fit)$Geno), as.matrix(coef(m)$Geno[rownames(coef(fit)$Geno), ]), tolerance = 1e-4)
  expect_equal(fitted(fit), fitted(m), tolerance = 1e-4)
  expect_equal(residuals(fit), residuals(m), tolerance = 1e-4)
  # Several traits: a column each.
  d$y2 <- d$y1 + rnorm(nrow(d))
  two <- minque_analyse(cbind(y1, y2) ~ Env + (1 | Geno) + (1 | Geno:Env), d, effects = TRUE, bootstrap = 20, quiet = TRUE)
  expect_identical(colnames(fixef(two)), c("y1", "y2"))
  expect_equal(fixef(two)[, "y1"], fixef(fit))
  expect_identical(names(coef(two)), c("y1", "y2"))
  expect_equal(residuals(two)[, "y2"] + fitted(two)[, "y2"], setNames(d$y2, rownames(d)))
})

test_that("print and summary show the design, heritabilities and correlations, every flagged estimate with !", {
  r <- bootstrap_run(effects = TRUE)
  out <- capture.output(print(r))
  expect_match(out[2], "^Design: 84 observations; 6 parents")
  heritabilities <- grep("^Heritabilities", out)
  correlations <- grep("^V\\(A\\) correlations", out)
  expect_true(length(heritabilities) == 1L && length(correlations) == 1L && heritabilities < correlations)
  # Every heritability rests on the six parents: all carry the marker.
  expect_true(all(grepl("S\\*\\*!|S\\*!|S\\+!|NS!", out[heritabilities + 2:5])))
  expect_true(any(grepl("^! flagged", out)))
  s <- capture.output(print(summary(r)))
  expect_true(any(grepl("^Yield +0.4662 \\(0.3\\d+\\) NS!", s)))  # V(A) of Yield, few_levels
  expect_true(any(grepl("^Predicted effects of A", s)))
  expect_true(any(grepl("^few_levels \\(\\d+\\): a component whose term has fewer than 8 levels", s)))
  # No command-line program or option names in R's output.
  j <- analyse_diallel(diallel())
  text <- c(out, s, capture.output(print(j)), capture.output(print(summary(j))), j$reports$variances,
            j$reports$covariances)
  expect_false(any(grepl("\\.EXE|--[a-z]", text)))

  # One trait: its components and heritabilities, and no correlation picture offered.
  one <- analyse_diallel(diallel(), se = "bootstrap", bootstrap = 50, traits = "Yield")
  o <- capture.output(print(one))
  expect_true(any(grepl("^Variance components", o)))
  expect_true(any(grepl("^Heritabilities", o)))
  expect_false(any(grepl("correlations\"", o)))
  expect_error(plot(one, which = "correlations"), "no correlations \\(one trait\\)")
})

test_that("plot draws every picture in both graphics systems", {
  r <- bootstrap_run(effects = TRUE)
  one <- analyse_diallel(diallel(), se = "bootstrap", bootstrap = 50, traits = "Yield")
  file <- tempfile(fileext = ".pdf")
  grDevices::pdf(file)
  on.exit({ grDevices::dev.off(); unlink(file) })
  for (graphics in c("base", "ggplot2")) {
    if (graphics == "ggplot2") skip_if_not_installed("ggplot2")
    for (which in c("correlations", "heritability", "effects")) {
      drawn <- plot(r, which = which, graphics = graphics)
      expect_false(is.null(drawn), label = paste(which, graphics))
    }
    panels <- plot(r, component = c("V(A)", "V(D)", "G+GE"), graphics = graphics)
    if (graphics == "base") expect_identical(levels(panels$panel), c("Additive genetic V(A)", "Dominance V(D)",
                                                                     "Genotypic (G+GE)"))
    else expect_s3_class(panels, "ggplot")
    expect_false(is.null(plot(one, graphics = graphics)))  # one trait: its heritabilities
    expect_false(is.null(plot(r, which = "effects", term = "D", graphics = graphics)))
  }
  h <- plot(r, which = "heritability", graphics = "base")
  expect_identical(round(h$low[h$panel == "h2_narrow" & h$item == "Yield"], 6), -0.016031)
  expect_error(plot(r, which = "pictures"), "'which' must be")
  expect_error(plot(analyse_diallel(diallel()), which = "effects"), "effects = TRUE")
})

test_that("an effects plot of 300 genotypes shows the top and bottom 20 per trait, sorted, and says how many are hidden", {
  set.seed(3)
  g <- sprintf("G%03d", 1:300)
  d <- data.frame(Geno = rep(g, each = 2), Rep = rep(1:2, 300))
  effect <- rnorm(300)
  d$y1 <- effect[rep(1:300, each = 2)] + rnorm(600)
  d$y2 <- 0.5 * effect[rep(1:300, each = 2)] + rnorm(600)
  r <- minque_analyse(d, random = "Geno", traits = c("y1", "y2"), effects = TRUE, bootstrap = 20, quiet = TRUE)
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  shown <- plot(r, which = "effects", graphics = "base")
  expect_identical(as.vector(table(shown$panel)), c(40L, 40L))
  for (trait in c("y1", "y2")) {
    mine <- shown[shown$panel == trait, ]
    expect_false(is.unsorted(rev(mine$estimate)))
    expected <- ranef(r)$Geno[[trait]]
    expect_equal(range(mine$estimate), range(expected))
  }
  fewer <- plot(r, which = "effects", graphics = "base", top = 5)
  expect_identical(nrow(fewer), 20L)
  skip_if_not_installed("ggplot2")
  p <- plot(r, which = "effects", graphics = "ggplot2")
  expect_match(p$labels$caption, "the top and bottom 20 of 300 levels per trait; 260 hidden")
  built <- ggplot2::ggplot_build(p)
  labels <- unlist(lapply(built$layout$panel_params, function(panel) panel$y$get_labels()))
  expect_length(labels, 80L)
  expect_true(all(labels %in% g))
})

test_that("an interaction's effects are a heatmap per trait, its rows the top and bottom genotypes by their own effect", {
  set.seed(4)
  d <- expand.grid(Rep = 1:2, Env = paste0("E", 1:3), Geno = sprintf("G%03d", 1:60), stringsAsFactors = FALSE)
  g <- rnorm(60)
  d$y1 <- g[match(d$Geno, sprintf("G%03d", 1:60))] + rnorm(nrow(d))
  r <- minque_analyse(d, random = c("Geno", "Geno*Env"), fixed = c("1", "Env"), traits = "y1", effects = TRUE,
                      bootstrap = 20, quiet = TRUE)
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  cells <- plot(r, which = "effects", term = "Geno*Env", graphics = "base", top = 10)
  expect_identical(nlevels(cells$row), 20L)
  expect_identical(levels(cells$column), c("E1", "E2", "E3"))
  geno <- ranef(r)$Geno
  best <- rownames(geno)[order(geno$y1, decreasing = TRUE)][1:10]
  expect_setequal(tail(levels(cells$row), 10), best)  # the best at the top of the picture
  skip_if_not_installed("ggplot2")
  p <- plot(r, which = "effects", term = "Geno*Env", graphics = "ggplot2", top = 10)
  expect_match(p$labels$caption, "Each Geno sorted by its predicted effect: the top and bottom 10 of 60; 40 hidden")
})

test_that("no 0 stands for an undefined number: every frame, coef, tidy and confint hold NA", {
  # A trait of pure noise: its dominance components are negative, its correlations not defined.
  d <- diallel()
  set.seed(1)
  d$Noise <- rnorm(nrow(d))
  r <- analyse_diallel(d, se = "bootstrap", bootstrap = 50)
  undefined_rows <- function(frame) !is.null(frame$flag) & grepl("undefined|below_threshold", frame$flag)
  walked <- 0L
  for (name in names(r)) {
    frame <- r[[name]]
    if (!is.data.frame(frame) || is.null(frame$flag)) next
    hit <- undefined_rows(frame)
    for (column in intersect(c("estimate", "se", "p", "ci_low", "ci_high"), names(frame)))
      expect_true(all(is.na(frame[[column]][hit])), label = paste(name, column))
    walked <- walked + sum(hit)
  }
  expect_gt(walked, 0L)
  tidied <- tidy(r, table = "correlations")
  hit <- undefined_rows(tidied)
  expect_true(any(hit))
  expect_true(all(is.na(tidied$estimate[hit]) & is.na(tidied$std.error[hit]) & is.na(tidied$p.value[hit])))
  expect_true(all(is.na(estimates(r, "correlations")[hit])))
  expect_true(all(is.na(confint(r, table = "correlations")[hit, ])))
})
