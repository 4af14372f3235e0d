test_that("print shows the settings and the additive correlations, flagged cells as such", {
  r <- analyse_diallel(diallel())
  out <- capture.output(print(r))
  expect_match(out[1], "^minque-cov analysis of .*: additive-dominance")
  expect_true(any(grepl("^V\\(A\\) correlations", out)))
  expect_true(any(grepl("^Heading +-0.52 S\\*\\*", out)))
  aE <- capture.output(print(r, component = "V(AE)"))
  expect_true(any(grepl("-1 cut", aE)))
  expect_output(print(summary(r)), "Heritabilities")
})

test_that("as.data.frame gives a component's table", {
  r <- analyse_diallel(diallel())
  a <- as.data.frame(r, component = "V(A)")
  expect_equal(nrow(a), 6L)
  expect_true(all(a$component == "V(A)"))
  expect_equal(nrow(as.data.frame(r, table = "variances")), nrow(r$variances))
})

test_that("plot draws the heatmap with ggplot2 and with base graphics, undefined cells not as 0", {
  r <- analyse_diallel(diallel())
  file <- tempfile(fileext = ".pdf")
  grDevices::pdf(file)
  on.exit({ grDevices::dev.off(); unlink(file) })
  # One correlation not defined (a variance at or below zero): grey, no number.
  first <- which(r$correlations$component == "V(AE)")[1]
  r$correlations[first, c("estimate", "se", "p", "flag")] <- list(0, 0, 1, "undefined")
  cells <- plot(r, component = "V(AE)", graphics = "base")
  expect_equal(sum(cells$label == "n/d"), 2L)
  expect_true(all(is.na(cells$value[cells$label == "n/d"])))
  expect_equal(sum(grepl("^[-+]1\ncut$", cells$label)), 2L * sum(grepl("cut", r$correlations$flag[r$correlations$component == "V(AE)"])))
  skip_if_not_installed("ggplot2")
  p <- plot(r, graphics = "ggplot2")
  expect_s3_class(p, "ggplot")
})
