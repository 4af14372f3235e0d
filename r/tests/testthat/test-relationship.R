# Relationship matrices for random terms: the command line's tables, K = I
# the tables without it, breeding values with reliabilities for relatives
# without records, and every bad matrix, pedigree and marker matrix an R
# error that names it.
related_parents <- function(parents) {
  q <- length(parents)
  K <- diag(q + 1) + 0.25 * (abs(outer(seq_len(q + 1), seq_len(q + 1), "-")) == 1)
  dimnames(K) <- list(c(parents, "X"), c(parents, "X"))
  K
}

test_that("a relationship matrix gives the command line's tables, and K = I the tables without it", {
  example <- diallel()
  parents <- sort(unique(as.character(example$Fem)))
  fit <- function(...) minque_analyse(example, random = c("Fem", "Male"), traits = c("Yield", "GrainWt"),
                                      bootstrap = 100, quiet = TRUE, effects = TRUE, ...)
  plain <- fit()
  identity <- diag(length(parents))
  dimnames(identity) <- list(parents, parents)
  same <- fit(relationship = list(Fem = identity))
  for (name in c("variances", "covariances", "correlations", "heritability", "effects"))
    expect_equal(same[[name]], plain[[name]], tolerance = 1e-9, label = name)  # the printed digits, and more

  K <- related_parents(parents)
  related <- fit(relationship = list(Fem = K))
  path <- tempfile(fileext = ".csv")
  on.exit(unlink(path))
  utils::write.csv(K, path)
  theirs <- command_line_tables(example, c("--random", "Fem,Male", "--traits", "Yield,GrainWt", "--bootstrap", "100",
                                           "--relationship", paste0("Fem=", path)))
  for (name in names(theirs)) expect_printed_as(related[[name]], theirs[[name]], name)
  # The relative without records is predicted from its neighbour, and flagged.
  x <- related$effects[related$effects$level == "X", ]
  expect_equal(x$records, c(0, 0))
  expect_true(all(grepl("no_records", x$flag)))
  expect_true(all(x$reliability >= 0 & x$reliability < 1))
  expect_identical(rownames(ranef(related)$Fem), c(parents, "X"))
  expect_equal(attr(ranef(related)$Fem, "reliability")["X", "Yield"], x$reliability[x$trait == "Yield"])
})

test_that("pedigrees and markers build the matrix; bad ones are R errors naming them", {
  example <- diallel()
  parents <- sort(unique(as.character(example$Fem)))
  fit <- function(...) minque_analyse(example, random = c("Fem", "Male"), traits = "Yield", bootstrap = 20,
                                      quiet = TRUE, ...)
  # Parents 3 and 4 full sibs of founders 1 x 2.
  ped <- data.frame(id = parents, sire = c(NA, NA, "1", "1", NA, NA), dam = c(0, 0, 2, 2, 0, 0))
  expect_s3_class(fit(relationship = list(Fem = "pedigree"), pedigree = ped), "minque")
  M <- matrix(c(0, 2, 1, 2, 0, 1, 2, 2, 0, 0, 1, 2, 1, 0, 2, 2, 0, 1), 6, dimnames = list(parents, NULL))
  G <- minque_grm(M)
  expect_equal(unname(G[1, 2]), 0.99 * sum((M[1, ] - colMeans(M)) * (M[2, ] - colMeans(M))) /
                 sum(colMeans(M) * (1 - colMeans(M) / 2)))
  expect_equal(fit(relationship = list(Fem = "markers"), markers = M)$variances,
               fit(relationship = list(Fem = G))$variances)
  said <- capture_messages(minque_analyse(example, random = c("Fem", "Male"), traits = "Yield", bootstrap = 20,
                                          relationship = list(Fem = "markers"), markers = M))
  expect_true(any(grepl("markers: 6 individuals, 3 markers used (0 monomorphic dropped), 0 missing calls", said,
                        fixed = TRUE)))
  K <- related_parents(parents)
  expect_error(fit(relationship = list(Fem = K[1:3, 1:3])), "codes of Fem in the data are not in relationship\\$Fem")
  asymmetric <- K
  asymmetric[1, 2] <- 0.3
  expect_error(fit(relationship = list(Fem = asymmetric)), "relationship\\$Fem: the relationship matrix is not symmetric")
  expect_error(fit(relationship = list(Fem = K - diag(7))), "not positive definite: its smallest eigenvalue is")
  expect_error(fit(relationship = list(Fem = "pedigree")), "give 'pedigree'")
  expect_error(fit(relationship = list(Fem = "pedigree"),
                   pedigree = data.frame(id = c("1", "2"), sire = c("2", "1"), dam = NA)), "is its own ancestor")
  M[2, 3] <- 3
  expect_error(fit(relationship = list(Fem = "markers"), markers = M), "individual '2', marker 'm3': the call 3")
  expect_error(fit(relationship = list(Env = K)), "'Env' is not a random main effect")
  expect_error(fit(relationship = list(K)), "'relationship' must be a list named by random terms")
  expect_error(minque_analyse(example, group = 4, random = "Fem", se = "jackknife", quiet = TRUE,
                              relationship = list(Fem = K)), "needs the bootstrap")
})
