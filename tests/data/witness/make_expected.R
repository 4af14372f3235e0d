# An independent witness for the report's statistics (tests/unit/
# driver_witness_test.cpp): a small two-factor trial (A 4 levels crossed with
# B 3 levels, two plots each, two traits), analysed with
# `--random A,B --group 4` (J = 6 replicates of 4 consecutive rows, d = 5).
#
#   Rscript make_expected.R trial      writes trial.csv and components_double.csv
#   (run the test with MINQUE_WITNESS_RECORDS=$PWD/records.csv)
#   Rscript make_expected.R lines      writes the expected report lines
#
# components_double.csv: the MINQUE(0/1) estimates of the whole data and of
# every replicate, computed here in double precision from the table.
# expected_*_lines.txt: the report's lines, computed here from the run's own
# estimates (records.csv) by the jackknife with pseudo-values: the reported
# value is the whole-data one; the jackknife variance of a component is
# rescaled by the squared ratio of the whole-data value to the pseudo-value
# mean, of a total or a correlation by that ratio or its reciprocal, whichever
# is at most 1; a correlation's replicates are the pseudo-covariance over the
# root of the two pseudo-variances; P is two-tailed with d degrees of freedom
# (R's pt). Sums that the program keeps in single precision are rounded to
# single precision here too (f32), so that every printed digit must agree.
step <- commandArgs(TRUE)[1]
g <- 4; n <- 24; J <- n / g; d <- J - 1; K <- 3
w <- c(2, 0.375, 2)          # the general model's weights: two random factors and the residual
names <- c("V(A)", "V(B)", "V(e)")

if (step == "trial") {
  set.seed(11)
  trial <- expand.grid(rep = 1:2, B = sprintf("B%d", 1:3), A = sprintf("A%d", 1:4), stringsAsFactors = FALSE)
  trial <- trial[sample(nrow(trial)), c("A", "B")]       # groups of 4 rows mix the levels
  ia <- match(trial$A, sprintf("A%d", 1:4)); ib <- match(trial$B, sprintf("B%d", 1:3))
  a <- matrix(rnorm(8, 0, 2), 4); b <- matrix(rnorm(6, 0, 1.5), 3)
  e1 <- rnorm(24); e2 <- 0.5 * e1 + rnorm(24, 0, 0.8)
  # Multiples of 1/8: the same numbers in single and double precision.
  trial$T1 <- round(8 * (10 + a[ia, 1] + b[ib, 1] + e1)) / 8
  trial$T2 <- round(8 * (6 + 0.7 * a[ia, 1] + a[ia, 2] + b[ib, 2] + e2)) / 8
  write.csv(trial, "trial.csv", row.names = FALSE, quote = FALSE)

  ginv <- function(S) {  # Moore-Penrose inverse of a symmetric matrix
    s <- svd(S); keep <- s$d > 1e-10 * max(s$d)
    s$v[, keep, drop = FALSE] %*% (t(s$u[, keep, drop = FALSE]) / s$d[keep])
  }
  # theta = S^- q, S[k, l] = tr(Q V_k Q V_l), q_k = y1' Q V_k Q y2, every prior ratio 1.
  minque <- function(rows, y1, y2) {
    m <- length(rows)
    UA <- outer(ia[rows], 1:4, "==") * 1; UB <- outer(ib[rows], 1:3, "==") * 1
    Vk <- list(UA %*% t(UA), UB %*% t(UB), diag(m))
    Vi <- solve(diag(m) + Vk[[1]] + Vk[[2]])
    X <- matrix(1, m, 1)
    Q <- Vi - Vi %*% X %*% solve(t(X) %*% Vi %*% X) %*% t(X) %*% Vi
    S <- outer(1:3, 1:3, Vectorize(function(k, l) sum(diag(Q %*% Vk[[k]] %*% Q %*% Vk[[l]]))))
    q <- sapply(1:3, function(k) drop(t(y1[rows]) %*% Q %*% Vk[[k]] %*% Q %*% y2[rows]))
    drop(ginv(S) %*% q)
  }
  out <- NULL
  for (k in 0:J) {
    rows <- if (k == 0) 1:n else setdiff(1:n, ((k - 1) * g + 1):(k * g))
    for (kind in 0:2) {
      y <- list(c(trial$T1, trial$T1), c(trial$T2, trial$T2), c(trial$T1, trial$T2))[[kind + 1]]
      out <- rbind(out, c(kind, k, minque(rows, y[1:n], y[n + 1:n])))
    }
  }
  colnames(out) <- c("kind", "replicate", "c1", "c2", "c3")
  write.csv(format(as.data.frame(out), digits = 15), "components_double.csv", row.names = FALSE, quote = FALSE)
  quit(save = "no")
}

f32 <- function(x) readBin(writeBin(as.double(x), raw(), size = 4), "double", size = 4, n = length(x))
rec <- read.csv("records.csv")
row <- function(kind, k) f32(as.numeric(rec[rec$kind == kind & rec$replicate == k, c("c1", "c2", "c3")]))
mark <- function(p) if (p > 0.1) "NS" else if (p > 0.05) "S+" else if (p > 0.01) "S*" else "S**"
stats <- function(S, Q, e, eref, rule, zero = FALSE) {
  m <- S / J; v <- if (zero) 0 else (Q - m * S) / (J * d); ratio <- abs(eref / m)
  v <- if (rule == "B" && ratio > 1) v / ratio / ratio else v * ratio * ratio
  se <- sqrt(max(v, 0))
  p <- if (se > 0 && e != 0) 2 * pt(-abs(e / se), d) else 1
  list(se = se, p = p)
}
fields <- function(e, s, format) sprintf("%s, %g, %.3g, ", sprintf(format, e), s$se, s$p)

# The lines of the block of traits (a, b): kinds of their variance rows and of
# the covariance row.
block <- function(x1, x2, x3, correlations) {
  rows <- function(k) list(row(x1, k), row(x2, k), row(x3, k))
  whole <- rows(0)
  fJ <- f32(J * w); fd <- f32(d * w)
  wt <- lapply(whole, function(r) { t <- r * fJ; c(f32(t), f32(sum(t) - r[K]), f32(sum(t))) })
  jt <- lapply(1:3, function(x) numeric(K + 2)); A <- B <- C <- numeric(K + 2)
  add <- function(pos, p) {
    for (x in 1:3) jt[[x]][pos] <<- f32(jt[[x]][pos] + p[x])
    A[pos] <<- f32(A[pos] + p[2]^2)
    rho <- if (p[1] > 1e-8 && p[3] > 1e-8) (p[2] / sqrt(p[1])) / sqrt(p[3]) else 0
    if (abs(rho) > 1) rho <- sign(rho)
    B[pos] <<- f32(B[pos] + rho); C[pos] <<- f32(C[pos] + rho^2)
  }
  for (k in 1:J) {
    r <- rows(k); U <- numeric(3)
    for (c in 1:K) {
      p <- sapply(1:3, function(x) wt[[x]][c] - r[[x]][c] * fd[c])
      add(c, p); U <- U + p
    }
    add(K + 2, U)
    add(K + 1, U - sapply(r, function(v) v[K]))
  }
  out <- character(); E <- numeric(3); est <- lapply(1:3, function(x) numeric(K + 2))
  for (c in 1:K) {
    e <- sapply(1:3, function(x) f32(wt[[x]][c] / J))
    for (x in 1:3) est[[x]][c] <- e[x]
    E <- E + e
    s <- stats(jt[[2]][c], A[c], e[2], e[2], "A")
    out <- c(out, sprintf("%s Cov, %s/%g,   %s", names[c], fields(e[2], s, "%g"), w[c], mark(s$p)))
  }
  for (pos in c(K + 2, K + 1)) {
    e <- if (pos == K + 2) E[2] else E[2] - est[[2]][K]
    for (x in 1:3) est[[x]][pos] <- f32(if (pos == K + 2) E[x] else E[x] - f32(wt[[x]][K] / J))
    s <- stats(jt[[2]][pos], A[pos], e, f32(wt[[2]][pos] / J), "B")
    out <- c(out, sprintf("Cov %d, %s %s", pos - K, fields(e, s, "%g"), mark(s$p)))
  }
  if (!correlations) return(out)
  for (pos in c(1:K, K + 2, K + 1)) {
    defined <- est[[1]][pos] > 1e-10 && est[[3]][pos] > 1e-10
    rho <- if (defined) (est[[2]][pos] / sqrt(est[[1]][pos])) / sqrt(est[[3]][pos]) else 0
    e <- if (abs(rho) > 1) sign(rho) else rho
    s <- stats(B[pos], C[pos], e, rho, "B", zero = !defined)
    head <- if (pos <= K) paste(names[pos], "Cor") else sprintf("Cor %d", pos - K)
    out <- c(out, sprintf("%s, %s %s", head, fields(e, s, "%f"), mark(s$p)))
  }
  out
}
writeLines(block(0, 2, 1, TRUE), "expected_cov_lines.txt")
writeLines(block(0, 0, 0, FALSE), "expected_var_T1_lines.txt")
writeLines(block(1, 1, 1, FALSE), "expected_var_T2_lines.txt")
