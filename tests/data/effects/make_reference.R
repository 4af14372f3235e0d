# Reference predictions for the effects test (tests/unit/driver_effects_test.cpp):
# two balanced designs simulated here, written as trial tables, and fitted by
# REML with lme4. For balanced data whose ANOVA estimates are all positive,
# MINQUE(0/1) gives the REML estimates, so the conditional modes of these fits
# are the predictions minque-cov must give at its own estimates.
#
#   Rscript make_reference.R        (in this folder; needs r-cran-lme4)
# writes oneway.csv, twoway.csv and expected_effects.csv.
suppressMessages(library(lme4))
set.seed(20261206)

oneway <- expand.grid(rep = 1:5, A = sprintf("L%d", 1:8), stringsAsFactors = FALSE)[, c("A", "rep")]
a1 <- rnorm(8, 0, sqrt(2)); a2 <- rnorm(8, 0, sqrt(0.5))
idx <- match(oneway$A, sprintf("L%d", 1:8))
oneway$T1 <- round(10 + a1[idx] + rnorm(nrow(oneway), 0, 1), 4)
oneway$T2 <- round(5 + a2[idx] + rnorm(nrow(oneway), 0, 1), 4)

twoway <- expand.grid(rep = 1:2, B = sprintf("B%d", 1:5), A = sprintf("A%d", 1:6), stringsAsFactors = FALSE)[, c("A", "B", "rep")]
ia <- match(twoway$A, sprintf("A%d", 1:6)); ib <- match(twoway$B, sprintf("B%d", 1:5))
twoway$T1 <- round(20 + rnorm(6, 0, 1.5)[ia] + rnorm(5, 0, 1)[ib] + rnorm(nrow(twoway), 0, 1), 4)
twoway$T2 <- round(8 + rnorm(6, 0, 1)[ia] + rnorm(5, 0, 0.8)[ib] + rnorm(nrow(twoway), 0, 0.7), 4)

write.csv(oneway[, c("A", "T1", "T2")], "oneway.csv", row.names = FALSE, quote = FALSE)
write.csv(twoway[, c("A", "B", "T1", "T2")], "twoway.csv", row.names = FALSE, quote = FALSE)

rows <- list()
fit <- function(design, data, formula, terms) {
  for (trait in c("T1", "T2")) {
    m <- lmer(as.formula(paste(trait, formula)), data = data, REML = TRUE)
    if (isSingular(m)) stop(paste(design, trait, ": a component at zero; MINQUE would not equal REML"))
    re <- ranef(m)
    for (term in terms)
      rows[[length(rows) + 1]] <<- data.frame(design = design, trait = trait, term = term,
                                              level = rownames(re[[term]]), effect = re[[term]][, 1])
  }
}
fit("oneway", oneway, "~ 1 + (1 | A)", "A")
fit("twoway", twoway, "~ 1 + (1 | A) + (1 | B)", c("A", "B"))
out <- do.call(rbind, rows)
out$effect <- formatC(out$effect, digits = 10, format = "g")
write.csv(out, "expected_effects.csv", row.names = FALSE, quote = FALSE)
