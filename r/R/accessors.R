# Accessors of the "minque" result, in the words of R's mixed-model
# packages: VarCorr() and ranef() (the generics lme4 and nlme share, from
# nlme), fixef() (nlme's), coef(), fitted(), residuals(), sigma(),
# confint() and nobs() (stats), estimates() (every estimate, named), tidy()
# and glance() (the
# generics of the broom family, from generics). Every number comes from the
# result's tables, as doubles at full precision.

# The tables of estimates (not the effects), stacked, each row named as
# estimates() and confint() name it:
#   "var V(A) Yield", "cov V(A) Yield:Height", "cor V(A) Yield:Height",
#   "h2_narrow Yield" (or "share:V(A) Yield").
estimate_rows <- function(x, tables = c("variances", "covariances", "correlations", "heritability")) {
  pieces <- list()
  for (t in intersect(tables, names(x))) {
    d <- x[[t]]
    if (is.null(d) || nrow(d) == 0L) next
    one_trait <- t %in% c("variances", "heritability")
    trait_1 <- if (one_trait) d$trait else d$trait_1
    trait_2 <- if (one_trait) d$trait else d$trait_2
    component <- if (t == "heritability") d$quantity else d$component
    prefix <- switch(t, variances = "var ", covariances = "cov ", correlations = "cor ", heritability = "")
    traits <- if (one_trait) trait_1 else paste0(trait_1, ":", trait_2)
    pieces[[t]] <- data.frame(
      table = t, component = component, trait_1 = trait_1, trait_2 = trait_2,
      term = paste0(prefix, component, " ", traits), estimate = d$estimate, se = d$se,
      ci_low = if (is.null(d$ci_low)) NA_real_ else d$ci_low,
      ci_high = if (is.null(d$ci_high)) NA_real_ else d$ci_high,
      p = d$p, mark = d$mark, flag = d$flag, stringsAsFactors = FALSE)
  }
  if (length(pieces) == 0L) stop("the analysis has no such table", call. = FALSE)
  out <- do.call(rbind, unname(pieces))
  rownames(out) <- NULL
  out
}

# The intervals of rows at a level: with the bootstrap its percentile
# intervals (95% only: those are the ones it computed); with the jackknife
# the t interval on its J - 1 degrees of freedom, the one its P values test.
# A correlation or heritability that is not defined has none. The rows are
# those of any table (an effect's estimate is its column effect).
intervals <- function(x, rows, level) {
  if (!is.numeric(level) || length(level) != 1L || is.na(level) || level <= 0 || level >= 1)
    stop("'level' must be a number between 0 and 1", call. = FALSE)
  s <- x$settings
  if (identical(s$standard_errors, "bootstrap")) {
    if (abs(level - 0.95) > 1e-12)
      stop("the bootstrap's intervals are its 2.5% and 97.5% quantiles: 'level' must be 0.95 ",
           "(se = \"jackknife\" gives t intervals at any level)", call. = FALSE)
    return(cbind(rows$ci_low, rows$ci_high))
  }
  estimate <- if (is.null(rows$estimate)) rows$effect else rows$estimate
  half <- stats::qt((1 + level) / 2, df = s$replicates - 1) * rows$se
  out <- cbind(estimate - half, estimate + half)
  out[has_flag(rows$flag, c("undefined", "below_threshold", "not_finite")), ] <- NA_real_
  out
}

# ---- coef, confint, nobs -------------------------------------------------------

# Every estimate of the tables, named (the names confint() takes).
estimates <- function(object, table = c("variances", "covariances", "correlations", "heritability")) {
  if (!inherits(object, "minque")) stop("'object' must be the result of minque_analyse()", call. = FALSE)
  table <- match.arg(table, several.ok = TRUE)
  rows <- estimate_rows(object, table)
  setNames(rows$estimate, rows$term)
}

# As lme4's coef(): per random term, each level's coefficients, the fixed
# effects with the level's predicted effect added to the intercept. One
# trait: that list; several: one such list per trait (or the trait asked for).
coef.minque <- function(object, trait = NULL, ...) {
  fixed <- fits(object, "coef")$fixef
  traits <- object$settings$traits
  if (!is.null(trait) && (!is.character(trait) || length(trait) != 1L || !trait %in% traits))
    stop(sprintf("'trait' must be one of %s", paste(traits, collapse = ", ")), call. = FALSE)
  re <- ranef(object)
  of_trait <- function(tr) {
    lapply(re, function(levels) {
      b <- fixed[, tr]
      d <- as.data.frame(matrix(rep(b, each = nrow(levels)), nrow(levels), dimnames = list(rownames(levels), names(b))),
                         check.names = FALSE)
      if ("(Intercept)" %in% names(d)) d[["(Intercept)"]] <- d[["(Intercept)"]] + levels[[tr]]
      d
    })
  }
  if (!is.null(trait)) return(of_trait(trait))
  if (length(traits) == 1L) return(of_trait(traits))
  setNames(lapply(traits, of_trait), traits)
}

confint.minque <- function(object, parm, level = 0.95,
                           table = c("variances", "covariances", "correlations", "heritability"), ...) {
  table <- match.arg(table, several.ok = TRUE)
  rows <- estimate_rows(object, table)
  if (!missing(parm)) {
    keep <- if (is.numeric(parm)) {
      if (any(is.na(parm) | parm < 1 | parm > nrow(rows) | parm != round(parm)))
        stop(sprintf("'parm': positions run from 1 to %d", nrow(rows)), call. = FALSE)
      parm
    } else if (is.character(parm)) {
      # Names as estimates() gives them, or components ("V(A)", "h2_narrow").
      hit <- rows$term %in% parm | rows$component %in% parm
      unknown <- setdiff(parm, c(rows$term, rows$component))
      if (length(unknown) > 0L)
        stop(sprintf("'parm': no estimate named %s (the names of estimates(), or a component)",
                     paste0("'", unknown, "'", collapse = ", ")), call. = FALSE)
      which(hit)
    } else stop("'parm' must be names or positions of estimates", call. = FALSE)
    rows <- rows[keep, , drop = FALSE]
  }
  ci <- intervals(object, rows, level)
  a <- (1 - level) / 2
  dimnames(ci) <- list(rows$term, paste(format(100 * c(a, 1 - a), trim = TRUE, scientific = FALSE, digits = 3), "%"))
  ci
}

nobs.minque <- function(object, ...) object$settings$observations

# The residual standard deviation of every trait: the square root of its
# V(e) (NA where that is at or below zero).
sigma.minque <- function(object, ...) {
  v <- object$variances
  e <- v[v$component == "V(e)", , drop = FALSE]
  traits <- object$settings$traits
  s <- e$estimate[match(traits, e$trait)]
  setNames(ifelse(is.finite(s) & s > 0, sqrt(pmax(s, 0)), NA_real_), traits)
}

# The fixed effects, fitted values and residuals come with the predicted
# effects (the same equations); without them, an error that says so.
fits <- function(object, what) {
  if (is.null(object$fitted))
    stop(sprintf("%s: run minque_analyse() with effects = TRUE (the fixed effects, fitted values and residuals come from the same mixed model equations as the predicted effects)",
                 what), call. = FALSE)
  object
}
# One trait: a vector; several: a column per trait.
per_trait <- function(m) if (ncol(m) == 1L) setNames(m[, 1L], rownames(m)) else m

# The GLS estimates of the fixed effects at each trait's components, in
# lme4's coding (treatment contrasts).
fixef.minque <- function(object, ...) per_trait(fits(object, "fixef")$fixef)
# Conditional on the predicted effects: X b + Z u, and y minus it.
fitted.minque <- function(object, ...) per_trait(fits(object, "fitted")$fitted)
residuals.minque <- function(object, ...) per_trait(fits(object, "residuals")$residuals)

# ---- VarCorr ---------------------------------------------------------------------

# As lme4's VarCorr(): per random term ("Geno", "A"; a covariance component
# between two factors by its label "C(1,3)"), then "Residual", the trait by
# trait covariance matrix with attributes "stddev" (NA where a variance is
# at or below zero) and "correlation" (NA where not defined), and the
# analysis' own "se", "flag", "correlation_se" and "correlation_flag"
# matrices; attr "sc" the residual standard deviations.
VarCorr.minque <- function(x, sigma = 1, ...) {
  traits <- x$settings$traits
  t <- length(traits)
  blank <- function(fill) matrix(fill, t, t, dimnames = list(traits, traits))
  components <- setdiff(unique(c(x$variances$component, x$covariances$component)), c("Phenotypic", "G+GE"))
  group_of <- function(component) if (component == "V(e)") "Residual" else sub("^V\\((.*)\\)$", "\\1", component)
  out <- list()
  for (component in components) {
    covariance <- blank(NA_real_)
    se <- blank(NA_real_)
    flag <- blank("")
    v <- x$variances[x$variances$component == component, , drop = FALSE]
    i <- match(v$trait, traits)
    covariance[cbind(i, i)] <- v$estimate
    se[cbind(i, i)] <- v$se
    flag[cbind(i, i)] <- v$flag
    if (!is.null(x$covariances)) {
      cv <- x$covariances[x$covariances$component == component, , drop = FALSE]
      ij <- cbind(match(cv$trait_1, traits), match(cv$trait_2, traits))
      for (side in list(ij, ij[, 2:1, drop = FALSE])) {
        covariance[side] <- cv$estimate
        se[side] <- cv$se
        flag[side] <- cv$flag
      }
    }
    correlation <- correlation_se <- NULL
    correlation_flag <- NULL
    cr <- if (is.null(x$correlations)) NULL else x$correlations[x$correlations$component == component, , drop = FALSE]
    if (!is.null(cr) && nrow(cr) > 0L || (t == 1L && !grepl("^C\\(", component))) {
      correlation <- blank(NA_real_)
      correlation_se <- blank(NA_real_)
      correlation_flag <- blank("")
      diag(correlation) <- 1
      diag(correlation_se) <- 0
      if (!is.null(cr) && nrow(cr) > 0L) {
        ij <- cbind(match(cr$trait_1, traits), match(cr$trait_2, traits))
        for (side in list(ij, ij[, 2:1, drop = FALSE])) {
          correlation[side] <- cr$estimate  # NA where not defined, never the 0 the reports print
          correlation_se[side] <- cr$se
          correlation_flag[side] <- cr$flag
        }
      }
    }
    d <- diag(covariance)
    out[[group_of(component)]] <- structure(covariance, stddev = setNames(ifelse(d > 0, sqrt(pmax(d, 0)), NA_real_), traits),
                                            correlation = correlation, se = se, flag = flag,
                                            correlation_se = correlation_se, correlation_flag = correlation_flag)
  }
  residual <- out[["Residual"]]
  structure(out, class = "VarCorr.minque", sc = if (is.null(residual)) NULL else attr(residual, "stddev"),
            useSc = TRUE, settings = x$settings)
}

# As lme4 prints it: per group and trait the variance and standard
# deviation, the correlations beside them; a flagged estimate ends with !,
# a correlation that is not defined reads n/d.
print.VarCorr.minque <- function(x, digits = 4, ...) {
  traits <- rownames(x[[1L]])
  rows <- list()
  for (group in names(x)) {
    m <- x[[group]]
    r <- attr(m, "correlation")
    rf <- attr(m, "correlation_flag")
    for (i in seq_along(traits)) {
      variance <- m[i, i]
      flagged <- nzchar(attr(m, "flag")[i, i])
      cells <- c(Groups = if (i == 1L) group else "", Name = traits[i],
                 Variance = paste0(formatC(variance, digits = digits, format = "g"), if (flagged) "!" else ""),
                 Std.Dev. = if (is.na(attr(m, "stddev")[i])) "n/d" else formatC(attr(m, "stddev")[i], digits = digits, format = "g"))
      if (i > 1L && !is.null(r))
        cells <- c(cells, setNames(ifelse(is.na(r[i, seq_len(i - 1L)]), "n/d",
                                          paste0(sprintf("%.3f", r[i, seq_len(i - 1L)]),
                                                 ifelse(nzchar(rf[i, seq_len(i - 1L)]), "!", ""))),
                                   if (i == 2L) "Corr" else c("Corr", rep("", i - 2L))))
      rows[[length(rows) + 1L]] <- cells
    }
  }
  width <- max(lengths(rows))
  table <- t(vapply(rows, function(cells) c(cells, rep("", width - length(cells))), character(width)))
  dimnames(table) <- list(rep("", nrow(table)), c("Groups", "Name", "Variance", "Std.Dev.",
                                                  if (width > 4L) c("Corr", rep("", width - 5L))))
  print(noquote(table), right = FALSE)
  cat("! flagged: the flag column of the tables says what not to over-interpret (summary() explains each).\n")
  invisible(x)
}

# As lme4's: grp, var1, var2 (NA for a variance), vcov, sdcor (the
# standard deviation of a variance, the correlation of a covariance), with
# the analysis' std.error of vcov, its flag, and cor.std.error (the
# correlation's S.E.).
as.data.frame.VarCorr.minque <- function(x, row.names = NULL, optional = FALSE, ...) {
  pieces <- lapply(names(x), function(group) {
    m <- x[[group]]
    traits <- rownames(m)
    ij <- rbind(cbind(seq_along(traits), seq_along(traits)), which(upper.tri(m), arr.ind = TRUE)[, 1:2, drop = FALSE])
    ij <- ij[order(ij[, 1] != ij[, 2]), , drop = FALSE]
    variance <- ij[, 1] == ij[, 2]
    r <- attr(m, "correlation")
    correlation <- if (is.null(r)) rep(NA_real_, nrow(ij)) else r[ij]
    correlation_se <- if (is.null(r)) rep(NA_real_, nrow(ij)) else attr(m, "correlation_se")[ij]
    data.frame(grp = group, var1 = traits[ij[, 1]], var2 = ifelse(variance, NA_character_, traits[ij[, 2]]),
               vcov = m[ij], sdcor = ifelse(variance, attr(m, "stddev")[ij[, 1]], correlation),
               std.error = attr(m, "se")[ij], flag = attr(m, "flag")[ij],
               cor.std.error = ifelse(variance, NA_real_, correlation_se), stringsAsFactors = FALSE)
  })
  out <- do.call(rbind, pieces)
  rownames(out) <- row.names
  out
}

# ---- ranef -----------------------------------------------------------------------

# As lme4's ranef(): per random term a data frame of its levels' predicted
# effects, the levels as row names (ranef(x)$Geno["G01", "y1"]) and a column
# per trait, with attribute "condVar" (and "postVar", its older name) an
# array traits x traits x levels holding each level's prediction error
# variance on the diagonal (the bootstrap's; the jackknife gives none),
# and the analysis' own "se", "flag" and, with the bootstrap,
# "reliability" (1 - PEV / (sigma2 K_ii)) in the same shape. Levels come in
# the order of the design columns' factor levels where they are factors,
# else in code order.
ranef.minque <- function(object, term = NULL, ...) {
  e <- object$effects
  if (is.null(e)) stop("the analysis has no effects: run minque_analyse() with effects = TRUE", call. = FALSE)
  terms <- unique(e$term)
  if (!is.null(term)) {
    if (!is.character(term) || !all(term %in% terms))
      stop(sprintf("'term' must be among %s", paste(terms, collapse = ", ")), call. = FALSE)
    terms <- term
  }
  traits <- object$settings$traits
  out <- lapply(setNames(terms, terms), function(tm) {
    rows <- e[e$term == tm, , drop = FALSE]
    levels <- unique(rows$level)
    wide <- function(column, fill) {
      d <- data.frame(row.names = levels)
      for (trait in traits) {
        r <- rows[rows$trait == trait, , drop = FALSE]
        d[[trait]] <- r[[column]][match(levels, r$level)]
        if (all(is.na(d[[trait]]))) d[[trait]] <- fill
      }
      d
    }
    effects <- wide("effect", NA_real_)
    se <- wide("se", NA_real_)
    attr(effects, "se") <- se
    attr(effects, "flag") <- wide("flag", "")
    if (!is.null(rows$reliability)) {
      attr(effects, "reliability") <- wide("reliability", NA_real_)
      variances <- array(NA_real_, c(length(traits), length(traits), length(levels)),
                         dimnames = list(traits, traits, levels))
      for (i in seq_along(traits)) variances[i, i, ] <- se[[i]]^2
      attr(effects, "condVar") <- attr(effects, "postVar") <- variances
    }
    effects
  })
  structure(out, class = "ranef.minque")
}

print.ranef.minque <- function(x, ...) {
  for (term in names(x)) {
    cat(sprintf("$%s\n", term))
    d <- x[[term]]
    for (a in c("se", "flag", "reliability", "condVar", "postVar")) attr(d, a) <- NULL
    print(d, ...)
    cat("\n")
  }
  cat("Standard errors: attr(ranef(x)$TERM, \"se\"); prediction error variances: attr(ranef(x)$TERM, \"condVar\");",
      "every level's row in x$effects.\n")
  invisible(x)
}

# ---- tidy and glance ---------------------------------------------------------------

tidy.minque <- function(x, table = c("all", "variances", "covariances", "correlations", "heritability", "effects"),
                        conf.int = TRUE, conf.level = 0.95, ...) {
  table <- match.arg(table)
  # The interval, P value, mark and flag columns that follow the estimates,
  # from the table rows they were made from.
  with_tests <- function(out, rows) {
    if (conf.int) {
      ci <- intervals(x, rows, conf.level)
      out$conf.low <- ci[, 1]
      out$conf.high <- ci[, 2]
    }
    out$p.value <- rows$p
    out$mark <- rows$mark
    out$flag <- rows$flag
    out
  }
  if (table == "effects") {
    e <- x$effects
    if (is.null(e)) stop("the analysis has no effects: run minque_analyse() with effects = TRUE", call. = FALSE)
    return(as_tibble_if_installed(with_tests(data.frame(trait = e$trait, term = e$term, level = e$level, estimate = e$effect,
                                                        std.error = e$se, stringsAsFactors = FALSE), e)))
  }
  rows <- estimate_rows(x, if (table == "all") c("variances", "covariances", "correlations", "heritability") else table)
  as_tibble_if_installed(
    with_tests(data.frame(table = rows$table, component = rows$component, trait_1 = rows$trait_1, trait_2 = rows$trait_2,
                          term = rows$term, estimate = rows$estimate, std.error = rows$se, stringsAsFactors = FALSE), rows))
}

# A tibble where tibble is installed, as broom's tidiers give; else the data frame.
as_tibble_if_installed <- function(d) if (requireNamespace("tibble", quietly = TRUE)) tibble::as_tibble(d) else d

glance.minque <- function(x, ...) {
  s <- x$settings
  data.frame(nobs = s$observations, traits = length(s$traits), components = s$components,
             random_factors = s$random_factors, standard_errors = s$standard_errors,
             bootstrap_samples = s$bootstrap_samples, replicates = s$replicates, seed = s$seed,
             design = s$design, model = s$model, stringsAsFactors = FALSE)
}
