# lme4's notation gives the tables of the string interface; what it cannot
# express is refused naming the term.
test_that("a formula gives the string interface's tables on three model shapes", {
  example <- diallel()
  shapes <- list(
    one_factor = list(cbind(Yield, GrainWt) ~ (1 | Fem), list(random = "Fem", traits = c("Yield", "GrainWt"))),
    crossed = list(cbind(Yield, Height) ~ (1 | Fem) + (1 | Male) + (1 | Fem:Male),
                   list(random = c("Fem", "Male", "Fem*Male"), traits = c("Yield", "Height"))),
    environments = list(cbind(Yield, GrainWt, Heading) ~ Env + (1 | Fem) + (1 | Env:Fem) + (1 | Env:Blk),
                        list(random = c("Fem", "Env*Fem", "Env*Blk"), fixed = c("1", "Env"),
                             traits = c("Yield", "GrainWt", "Heading"))))
  for (shape in names(shapes)) {
    by_formula <- minque_analyse(shapes[[shape]][[1]], example, bootstrap = 50, quiet = TRUE)
    by_strings <- do.call(minque_analyse, c(list(example, bootstrap = 50, quiet = TRUE), shapes[[shape]][[2]]))
    for (table in c("variances", "covariances", "correlations", "heritability"))
      expect_identical(by_formula[[table]], by_strings[[table]], label = paste(shape, table))
  }
  # The formula named, or second with the data named first; trailing still hides the block.
  named <- minque_analyse(example, formula = Yield ~ Env + (1 | Fem) + (1 | Env:Blk), trailing = 1,
                          bootstrap = 50, quiet = TRUE)
  swapped <- minque_analyse(data = example, Yield ~ Env + (1 | Fem) + (1 | Env:Blk), trailing = 1,
                            bootstrap = 50, quiet = TRUE)
  expect_identical(named$variances, swapped$variances)
  expect_false(any(grepl("Env*Blk", named$variances$component, fixed = TRUE)))
  # Nesting and crossing among the terms, as lme4 reads them.
  model <- minquecov:::formula_model(y ~ a * b - 1 + (1 | g / h))
  expect_identical(model[c("fixed", "random")], list(fixed = c("a", "b", "a*b"), random = c("g", "g*h")))
})

test_that("what a formula cannot express is an error naming the term", {
  example <- diallel()
  refused <- list(
    list(Yield ~ (Height | Fem), "'\\(Height \\| Fem\\)' has random slopes"),
    list(Yield ~ (1 || Fem), "uncorrelated random slopes"),
    list(log(Yield) ~ (1 | Fem), "'log\\(Yield\\)' is not a column name"),
    list(Yield ~ poly(Env, 2) + (1 | Fem), "'poly\\(Env, 2\\)' is not a column"),
    list(Yield ~ (1 | Fem * Male), "crosses inside the bar"),
    list(Yield ~ Env - Blk + (1 | Fem), "only - 1"),
    list(Yield ~ Env, "no random term"))
  for (case in refused) expect_error(minque_analyse(case[[1]], example, quiet = TRUE), case[[2]])
  expect_error(minque_analyse(Yield ~ (1 | Fem), example, random = "Male", quiet = TRUE), "either as a formula")
  expect_error(minque_analyse(Yield ~ (1 | Dad), example, quiet = TRUE), "Dad")
})
