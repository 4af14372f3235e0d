# Accessors of the "minque" result, in the words of R's mixed-model
# packages: VarCorr() and ranef() (the generics lme4 and nlme share, from
# nlme), coef(), confint() and nobs() (stats), tidy() and glance() (the
# generics of the broom family, from generics). Every number comes from the
# result's tables, as doubles at full precision.

# The tables of estimates (not the effects), stacked, each row named as
# coef() and confint() name it:
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

coef.minque <- function(object, table = c("variances", "covariances", "correlations", "heritability"), ...) {
  table <- match.arg(table, several.ok = TRUE)
  rows <- estimate_rows(object, table)
  setNames(rows$estimate, rows$term)
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
      # Names as coef() gives them, or components ("V(A)", "h2_narrow").
      hit <- rows$term %in% parm | rows$component %in% parm
      unknown <- setdiff(parm, c(rows$term, rows$component))
      if (length(unknown) > 0L)
        stop(sprintf("'parm': no estimate named %s (the names of coef(), or a component)",
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

# What a MINQUE analysis does not estimate is an error that says so, not a
# NULL a caller would compute with.
not_estimated <- function(what) {
  stop(sprintf(paste0("%s: a MINQUE analysis estimates the variance and covariance components, not the fixed ",
                      "effects or fitted values; the components are in VarCorr(), the random terms' predicted ",
                      "effects in ranef() (minque_analyse(effects = TRUE))"), what), call. = FALSE)
}
fixef.minque <- function(object, ...) not_estimated("fixef")
fitted.minque <- function(object, ...) not_estimated("fitted")
residuals.minque <- function(object, ...) not_estimated("residuals")

# ---- VarCorr ---------------------------------------------------------------------

# Per component, the trait-by-trait covariance matrix (variances on the
# diagonal) and correlation matrix, with their standard errors and flags.
VarCorr.minque <- function(x, sigma = 1, ...) {
  traits <- x$settings$traits
  t <- length(traits)
  blank <- function(fill) matrix(fill, t, t, dimnames = list(traits, traits))
  components <- unique(c(x$variances$component, x$covariances$component))
  out <- list()
  for (component in components) {
    e <- list(covariance = blank(NA_real_), covariance_se = blank(NA_real_), covariance_flag = blank(""),
              correlation = NULL, correlation_se = NULL, correlation_flag = NULL)
    v <- x$variances[x$variances$component == component, , drop = FALSE]
    i <- match(v$trait, traits)
    e$covariance[cbind(i, i)] <- v$estimate
    e$covariance_se[cbind(i, i)] <- v$se
    e$covariance_flag[cbind(i, i)] <- v$flag
    if (!is.null(x$covariances)) {
      cv <- x$covariances[x$covariances$component == component, , drop = FALSE]
      ij <- cbind(match(cv$trait_1, traits), match(cv$trait_2, traits))
      for (m in c("covariance", "covariance_se", "covariance_flag")) {
        value <- switch(m, covariance = cv$estimate, covariance_se = cv$se, covariance_flag = cv$flag)
        e[[m]][ij] <- value
        e[[m]][ij[, 2:1, drop = FALSE]] <- value
      }
    }
    cr <- if (is.null(x$correlations)) NULL else x$correlations[x$correlations$component == component, , drop = FALSE]
    if (!is.null(cr) && nrow(cr) > 0L) {
      e$correlation <- blank(NA_real_)
      e$correlation_se <- blank(NA_real_)
      e$correlation_flag <- blank("")
      diag(e$correlation) <- 1
      diag(e$correlation_se) <- 0
      # Not defined: NA, never the 0 the reports print.
      value <- ifelse(not_defined(cr), NA_real_, cr$estimate)
      se <- ifelse(not_defined(cr), NA_real_, cr$se)
      ij <- cbind(match(cr$trait_1, traits), match(cr$trait_2, traits))
      for (side in list(ij, ij[, 2:1, drop = FALSE])) {
        e$correlation[side] <- value
        e$correlation_se[side] <- se
        e$correlation_flag[side] <- cr$flag
      }
    }
    out[[component]] <- e
  }
  structure(out, class = "VarCorr.minque", settings = x$settings)
}

# Each component as one matrix, as breeders tabulate it: variances on the
# diagonal, covariances below, correlations above; a flagged estimate ends
# with !, a correlation that is not defined reads n/d.
print.VarCorr.minque <- function(x, digits = 4, ...) {
  for (component in names(x)) {
    e <- x[[component]]
    cell <- function(value, flag) ifelse(is.na(value), "n/d",
                                         paste0(formatC(value, digits = digits, format = "g"),
                                                ifelse(nzchar(flag), "!", "")))
    m <- matrix(cell(e$covariance, e$covariance_flag), nrow(e$covariance), dimnames = dimnames(e$covariance))
    if (!is.null(e$correlation)) {
      upper <- upper.tri(m)
      m[upper] <- ifelse(is.na(e$correlation[upper]), "n/d",
                         paste0(sprintf("%.3f", e$correlation[upper]), ifelse(nzchar(e$correlation_flag[upper]), "!", "")))
    } else m[upper.tri(m)] <- ""
    cat(sprintf("%s: %s\n", component,
                if (is.null(e$correlation)) "variances (diagonal) and covariances (below)"
                else "variances (diagonal), covariances (below), correlations (above)"))
    print(noquote(m), right = TRUE)
    cat("\n")
  }
  cat("! flagged: the flag column of the tables says what not to over-interpret (summary() explains each).\n")
  invisible(x)
}

as.data.frame.VarCorr.minque <- function(x, row.names = NULL, optional = FALSE, ...) {
  pieces <- lapply(names(x), function(component) {
    e <- x[[component]]
    ij <- which(lower.tri(e$covariance, diag = TRUE), arr.ind = TRUE)
    traits <- rownames(e$covariance)
    corr <- function(m) if (is.null(m)) NA_real_ else m[ij]
    data.frame(component = component, trait_1 = traits[ij[, 2]], trait_2 = traits[ij[, 1]],
               covariance = e$covariance[ij], covariance_se = e$covariance_se[ij],
               correlation = corr(e$correlation), correlation_se = corr(e$correlation_se),
               stringsAsFactors = FALSE)
  })
  out <- do.call(rbind, pieces)
  rownames(out) <- row.names
  out
}

# ---- ranef -----------------------------------------------------------------------

# Per random term, a data frame of its levels' predicted effects, a column
# per trait; the standard errors in the attribute "se" and the flags in
# "flag", both of the same shape, whose row names are the levels (so that
# ranef(x)$Geno["G01", ] is that genotype's row). Levels come in the order of
# the design columns' factor levels where they are factors, else in code
# order.
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
      d <- data.frame(level = levels, stringsAsFactors = FALSE, row.names = levels)
      for (trait in traits) {
        r <- rows[rows$trait == trait, , drop = FALSE]
        d[[trait]] <- r[[column]][match(levels, r$level)]
        if (all(is.na(d[[trait]]))) d[[trait]] <- fill
      }
      d
    }
    effects <- wide("effect", NA_real_)
    attr(effects, "se") <- wide("se", NA_real_)
    attr(effects, "flag") <- wide("flag", "")
    # The bootstrap's effects: each level's reliability (1 - PEV / (sigma2 K_ii)).
    if (!is.null(rows$reliability)) attr(effects, "reliability") <- wide("reliability", NA_real_)
    effects
  })
  structure(out, class = "ranef.minque")
}

print.ranef.minque <- function(x, ...) {
  for (term in names(x)) {
    cat(sprintf("$%s\n", term))
    d <- x[[term]]
    attr(d, "se") <- NULL
    attr(d, "flag") <- NULL
    attr(d, "reliability") <- NULL
    print(d, row.names = FALSE, ...)
    cat("\n")
  }
  cat("Standard errors: attr(ranef(x)$TERM, \"se\"); reliabilities: attr(ranef(x)$TERM, \"reliability\");",
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
    return(with_tests(data.frame(trait = e$trait, term = e$term, level = e$level, estimate = e$effect,
                                 std.error = e$se, stringsAsFactors = FALSE), e))
  }
  rows <- estimate_rows(x, if (table == "all") c("variances", "covariances", "correlations", "heritability") else table)
  with_tests(data.frame(table = rows$table, component = rows$component, trait_1 = rows$trait_1, trait_2 = rows$trait_2,
                        term = rows$term, estimate = rows$estimate, std.error = rows$se, stringsAsFactors = FALSE), rows)
}

glance.minque <- function(x, ...) {
  s <- x$settings
  data.frame(nobs = s$observations, traits = length(s$traits), components = s$components,
             random_factors = s$random_factors, standard_errors = s$standard_errors,
             bootstrap_samples = s$bootstrap_samples, replicates = s$replicates, seed = s$seed,
             design = s$design, model = s$model, stringsAsFactors = FALSE)
}
