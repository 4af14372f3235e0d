# One argument that must be a single column name (or NULL).
column_argument <- function(value, what) {
  if (is.null(value)) return("")
  if (!is.character(value) || length(value) != 1L || is.na(value) || !nzchar(value))
    stop(sprintf("'%s' must be one column name", what), call. = FALSE)
  value
}

# One argument that must be TRUE or FALSE.
flag_argument <- function(value, what) {
  if (!is.logical(value) || length(value) != 1L || is.na(value))
    stop(sprintf("'%s' must be TRUE or FALSE", what), call. = FALSE)
  value
}

# One whole number in a range.
count_argument <- function(value, what, lowest, highest) {
  if (!is.numeric(value) || length(value) != 1L || is.na(value) || value != round(value) ||
      value < lowest || value > highest)
    stop(sprintf("'%s' must be a whole number from %d to %d", what, lowest, highest), call. = FALSE)
  as.integer(value)
}

# The ids and marker names of a marker matrix (individuals x markers, 0/1/2
# or NA), checked.
marker_argument <- function(markers, what = "markers") {
  if (!is.matrix(markers) || !is.numeric(markers) || nrow(markers) == 0L || ncol(markers) == 0L)
    stop(sprintf("'%s' must be a numeric matrix of marker calls (individuals x markers, coded 0/1/2)", what), call. = FALSE)
  ids <- rownames(markers)
  if (is.null(ids) || anyNA(ids) || !all(nzchar(ids)) || anyDuplicated(ids))
    stop(sprintf("'%s' needs the individuals' ids as its row names, each once", what), call. = FALSE)
  marker_names <- colnames(markers)
  if (is.null(marker_names)) marker_names <- paste0("m", seq_len(ncol(markers)))
  list(values = as.double(markers), ids = ids, markers = marker_names)
}

# The relationship matrices of the random terms: a named list, each element
# a square matrix with the levels as dimnames, or "pedigree" (the additive
# relationship of `pedigree`, a data frame of id, sire, dam) or "markers"
# (the genomic relationship of `markers`). As the engine takes them.
relationship_argument <- function(relationship, pedigree, markers) {
  if (is.null(relationship)) {
    if (!is.null(pedigree) || !is.null(markers))
      warning("'pedigree' and 'markers' are used only through 'relationship', e.g. relationship = list(Geno = \"markers\")",
              call. = FALSE)
    return(list())
  }
  if (!is.list(relationship) || is.null(names(relationship)) || !all(nzchar(names(relationship))) ||
      anyDuplicated(names(relationship)))
    stop("'relationship' must be a list named by random terms, e.g. list(Geno = K)", call. = FALSE)
  lapply(names(relationship), function(term) {
    k <- relationship[[term]]
    where <- sprintf("relationship$%s", term)
    if (identical(k, "pedigree")) {
      if (!is.data.frame(pedigree) || ncol(pedigree) < 3L || nrow(pedigree) == 0L)
        stop(sprintf("'%s' is \"pedigree\": give 'pedigree', a data frame of id, sire and dam", where), call. = FALSE)
      code <- function(x) { x <- as.character(x); x[is.na(x) | x %in% c("0", "", ".")] <- ""; x }
      return(list(term = term, kind = "pedigree", source = "pedigree", ids = code(pedigree[[1L]]),
                  sires = code(pedigree[[2L]]), dams = code(pedigree[[3L]])))
    }
    if (identical(k, "markers")) {
      if (is.null(markers)) stop(sprintf("'%s' is \"markers\": give 'markers', a matrix of marker calls", where), call. = FALSE)
      return(c(list(term = term, kind = "markers", source = "markers"), marker_argument(markers)))
    }
    if (!is.matrix(k) || !is.numeric(k) || nrow(k) != ncol(k) || nrow(k) == 0L)
      stop(sprintf("'%s' must be a square numeric matrix with the levels as dimnames, \"pedigree\" or \"markers\"", where),
           call. = FALSE)
    ids <- if (!is.null(rownames(k))) rownames(k) else colnames(k)
    if (is.null(ids) || (!is.null(colnames(k)) && !identical(colnames(k), ids)))
      stop(sprintf("'%s' needs the levels as its row and column names, in the same order", where), call. = FALSE)
    list(term = term, kind = "matrix", source = where, ids = ids, values = as.double(k))
  })
}

# The genomic relationship matrix of marker calls (man/minque_grm.Rd).
minque_grm <- function(markers, blend = 0.01) {
  m <- marker_argument(markers)
  if (!is.numeric(blend) || length(blend) != 1L || is.na(blend) || blend < 0 || blend >= 1)
    stop("'blend' must be a number from 0 to below 1", call. = FALSE)
  out <- .minque_grm(m$values, m$ids, m$markers, blend)
  if (inherits(out, "minque_error_fields")) stop(out$message, call. = FALSE)
  k <- out$matrix
  dimnames(k) <- list(m$ids, m$ids)
  structure(k, missing = out$missing, monomorphic = out$monomorphic, markers_used = out$used)
}

# The model of an lme4-style formula, cbind(y1, y2) ~ Env + (1 | Geno) +
# (1 | Geno:Env): the traits (NULL without a left side), the fixed terms and
# the random terms as the string interface writes them (a:b as "a*b"; a/b as
# a and a:b; a*b among the fixed terms as a, b and a:b). What MINQUE of
# random intercepts cannot express is an error naming the term.
formula_model <- function(formula) {
  if (!inherits(formula, "formula") || length(formula) > 3L)
    stop("'formula' must be a formula such as cbind(y1, y2) ~ Env + (1 | Geno)", call. = FALSE)
  text <- function(e) paste(deparse(e, width.cutoff = 500L), collapse = " ")
  refuse <- function(term, why) stop(sprintf("formula: the term '%s' %s", text(term), why), call. = FALSE)
  is_call <- function(e, f) is.call(e) && identical(e[[1L]], as.name(f))
  traits <- NULL
  if (length(formula) == 3L) {
    lhs <- formula[[2L]]
    parts <- if (is_call(lhs, "cbind")) as.list(lhs)[-1L] else list(lhs)
    for (p in parts)
      if (!is.name(p)) refuse(p, "is not a column name; the left side names the traits, as cbind(y1, y2)")
    traits <- vapply(parts, as.character, "")
  }
  # a + b - 1 into its terms; "-1" marks a model without the intercept.
  terms_of <- function(e) {
    if (is_call(e, "+") && length(e) == 3L) return(c(terms_of(e[[2L]]), terms_of(e[[3L]])))
    if (is_call(e, "+") && length(e) == 2L) return(terms_of(e[[2L]]))
    if (is_call(e, "-") && length(e) == 3L) {
      if (!identical(e[[3L]], 1) && !identical(e[[3L]], 1L)) refuse(e, "removes a term; only - 1 (no intercept) can be written")
      return(c(terms_of(e[[2L]]), list("-1")))
    }
    list(e)
  }
  # A column, a:b (an interaction) or a/b (nested: a and a:b), as strings.
  factor_terms <- function(e, term, crossing) {
    if (is.name(e)) return(as.character(e))
    if (is_call(e, ":") && length(e) == 3L) {
      left <- factor_terms(e[[2L]], term, FALSE)
      right <- factor_terms(e[[3L]], term, FALSE)
      if (length(left) != 1L || length(right) != 1L) refuse(term, "nests inside an interaction; write its terms out")
      return(paste(left, right, sep = "*"))
    }
    if (is_call(e, "/") && length(e) == 3L) {
      outer <- factor_terms(e[[2L]], term, FALSE)
      inner <- factor_terms(e[[3L]], term, FALSE)
      if (length(inner) != 1L) refuse(term, "nests a nested term; write its terms out")
      return(c(outer, paste(outer[length(outer)], inner, sep = "*")))
    }
    if (crossing && is_call(e, "*") && length(e) == 3L) {
      left <- factor_terms(e[[2L]], term, FALSE)
      right <- factor_terms(e[[3L]], term, FALSE)
      if (length(left) != 1L || length(right) != 1L) refuse(term, "crosses nested terms; write its terms out")
      return(c(left, right, paste(left, right, sep = "*")))
    }
    refuse(term, "is not a column, an interaction a:b or a nesting a/b")
  }
  fixed <- character()
  random <- character()
  intercept <- TRUE
  for (term in terms_of(formula[[length(formula)]])) {
    if (identical(term, "-1") || identical(term, 0) || identical(term, 0L)) {
      intercept <- FALSE
    } else if (identical(term, 1) || identical(term, 1L)) {
      intercept <- TRUE
    } else if (is_call(term, "(") && is_call(term[[2L]], "||")) {
      refuse(term, "has uncorrelated random slopes (||); random terms here are intercepts, (1 | group)")
    } else if (is_call(term, "(") && is_call(term[[2L]], "|")) {
      bar <- term[[2L]]
      if (!identical(bar[[2L]], 1) && !identical(bar[[2L]], 1L))
        refuse(term, "has random slopes; MINQUE here estimates random intercepts, (1 | group)")
      if (is_call(bar[[3L]], "*")) refuse(term, "crosses inside the bar; write (1 | a) + (1 | b) + (1 | a:b)")
      random <- c(random, factor_terms(bar[[3L]], term, FALSE))
    } else {
      fixed <- c(fixed, factor_terms(term, term, TRUE))
    }
  }
  if (length(random) == 0L) stop("formula: no random term; write them as (1 | group)", call. = FALSE)
  fixed <- unique(c(if (intercept) "1", fixed))
  list(traits = traits, fixed = if (length(fixed) > 0L) fixed, random = unique(random))
}

# Column names: NULL or a character vector without NA or empty names.
names_argument <- function(value, what) {
  if (is.null(value)) return(NULL)
  if (!is.character(value) || length(value) == 0L || anyNA(value) || !all(nzchar(value)))
    stop(sprintf("'%s' must be column names", what), call. = FALSE)
  value
}

minque_analyse <- function(data, group = NULL, female = NULL, male = NULL, env = NULL, block = NULL,
                           random = NULL, fixed = "1", trailing = 0, traits = NULL,
                           covariances = FALSE, drop_incomplete = FALSE, threads = NULL,
                           keep_files = NULL, quiet = FALSE, effects = FALSE,
                           se = c("bootstrap", "jackknife"), bootstrap = 1000, seed = 1,
                           relationship = NULL, pedigree = NULL, markers = NULL, formula = NULL, entry = NULL) {
  # lme4's order, minque_analyse(y ~ ..., d): the formula where the data
  # would be, the data frame where the group size would be.
  data_expr <- substitute(data)
  if (inherits(data, "formula")) {
    formula <- data
    data <- group
    data_expr <- substitute(group)
    group <- NULL
  } else if (inherits(group, "formula")) {
    formula <- group
    group <- NULL
  }
  if (!is.null(formula)) {
    if (!is.null(random) || !is.null(traits) || !identical(fixed, "1") || !is.null(female) || !is.null(male) ||
        !is.null(env) || !is.null(block))
      stop("give the model either as a formula or through 'random', 'fixed', 'traits' and the design's columns, not both",
           call. = FALSE)
    from_formula <- formula_model(formula)
    traits <- from_formula$traits
    fixed <- from_formula$fixed
    random <- from_formula$random
  }
  # The data frame's name in messages, print and file names: the argument as
  # written (a variable, a short subset), or "data" where that text would be
  # the whole frame (a call through do.call) or a long expression.
  data_text <- deparse(data_expr, width.cutoff = 500L)
  data_name <- if (length(data_text) == 1L && nchar(data_text) <= 40L &&
                   !grepl("^(structure|list|data\\.frame)\\(", data_text)) data_text else "data"
  if (!is.data.frame(data))
    stop(sprintf("'data' must be a data frame, not %s", class(data)[1L]), call. = FALSE)
  se <- match.arg(se)
  quiet <- flag_argument(quiet, "quiet")
  if (se == "jackknife" && is.null(group))
    stop("'group' (the jackknife group size) is required with se = \"jackknife\"", call. = FALSE)
  if (se == "jackknife" && !quiet)
    for (unused in c("bootstrap", "seed")[c(!missing(bootstrap), !missing(seed))])
      message("'", unused, "' is not used: it belongs to the bootstrap, and the standard errors are the ",
              "jackknife's (se = \"bootstrap\" for the bootstrap's)")
  if (se == "bootstrap" && !is.null(group)) {
    count_argument(group, "group", 1L, .Machine$integer.max)
    if (!quiet) message("'group' is not used: it sizes the jackknife's groups, and the standard errors are the ",
                        "bootstrap's (se = \"jackknife\" for the jackknife's)")
    group <- NULL
  }
  model <- list(female = column_argument(female, "female"), male = column_argument(male, "male"),
                env = column_argument(env, "env"), block = column_argument(block, "block"),
                random = names_argument(random, "random"), fixed = names_argument(fixed, "fixed"),
                trailing = count_argument(trailing, "trailing", 0L, 1L),
                covariances = flag_argument(covariances, "covariances"),
                entry = column_argument(entry, "entry"))
  if (is.null(model$fixed)) model$fixed <- character()
  model$relationships <- relationship_argument(relationship, pedigree, markers)
  # Dates and times are codes when the design names them, never traits.
  named <- unique(c(unlist(model[c("female", "male", "env", "block")]),
                    unlist(strsplit(c(model$random, model$fixed), "*", fixed = TRUE))))
  for (column in names(data)[vapply(data, function(x) inherits(x, c("Date", "POSIXt", "difftime")), logical(1))]) {
    if (column %in% named) {
      data[[column]] <- as.character(data[[column]])
    } else if (column %in% traits) {
      stop(sprintf("'traits': the column '%s' is a date or time (%s), not a trait", column,
                   class(data[[column]])[1L]), call. = FALSE)
    } else {
      data[[column]] <- NULL
      if (!quiet)
        message(sprintf("%s: left out of the traits: '%s' (a date or time)", data_name, column))
    }
  }
  if (!is.null(keep_files) && (!is.character(keep_files) || length(keep_files) != 1L || is.na(keep_files)))
    stop("'keep_files' must be one folder name", call. = FALSE)
  if (!is.null(keep_files) && !dir.exists(keep_files))
    stop(sprintf("'keep_files': %s %s; give an existing folder", keep_files,
                 if (file.exists(keep_files)) "is a file, not a folder" else "does not exist"), call. = FALSE)
  options <- list(group = if (is.null(group)) 0L else count_argument(group, "group", 1L, .Machine$integer.max),
                  traits = names_argument(traits, "traits"),
                  drop_incomplete = flag_argument(drop_incomplete, "drop_incomplete"),
                  threads = if (is.null(threads)) 0L else count_argument(threads, "threads", 1L, 1024L),
                  effects = flag_argument(effects, "effects"),
                  se = se,
                  bootstrap = count_argument(bootstrap, "bootstrap", 20L, 1000000L),
                  seed = count_argument(seed, "seed", 0L, .Machine$integer.max),
                  keep_files = if (is.null(keep_files)) "" else normalizePath(keep_files, mustWork = FALSE),
                  file_name = make.names(data_name))

  bar <- NULL
  on_pass <- getOption("minquecov.on_pass")
  # A progress bar in an interactive session (the whole data, then the J
  # jackknife replicates or the B bootstrap samples in blocks); notes as
  # messages. Neither with quiet = TRUE.
  show_bar <- !quiet && interactive()
  progress <- function(k, J) {
    if (!is.null(on_pass)) on_pass(k, J)
    if (!show_bar) return(invisible())
    if (is.null(bar)) bar <<- utils::txtProgressBar(min = 0, max = J + 1, style = 3, file = stderr())
    utils::setTxtProgressBar(bar, k + 1)
  }
  note <- function(text) if (!quiet) message(text)
  # The engine's message as this call's error (an interrupt passes through).
  call <- sys.call()
  out <- tryCatch(.minque_run(data, data_name, model, options, progress, note),
                  error = function(e) stop(simpleError(conditionMessage(e), call)),
                  finally = if (!is.null(bar)) close(bar))
  # The engine's refusal, with where it is as fields (data, row, column,
  # argument) of a condition of class minque_error.
  if (inherits(out, "minque_error_fields"))
    stop(structure(class = c("minque_error", "error", "condition"),
                   c(list(message = out$message, call = call), unclass(out)[c("data", "row", "column", "argument")])))
  for (t in c("variances", "covariances", "correlations", "heritability", "effects")) out[[t]] <- result_table(out[[t]])
  if (nrow(out$heritability) == 0L) out$heritability <- NULL
  if (!effects) out$effects <- NULL else out$effects <- in_factor_order(out$effects, data, model)
  if (!is.null(out$fitted)) out[c("fixef", "fitted", "residuals")] <- fits_of(out, data, model)
  out$fixed_fitted <- NULL
  if (!nzchar(out$folder)) out$folder <- NULL
  # The reports' heading names the program that wrote them; here it was R.
  out$reports <- lapply(out$reports, function(text)
    sub(" <\u8fd0\u884c[A-Z0-9]+\\.EXE>", " (R: minquecov)", sub(" with [A-Z0-9]+\\.EXE", " with R (minquecov)", text)))
  out$call <- match.call()
  class(out) <- "minque"
  out
}

# The fixed effects in lme4's coding (treatment contrasts of the fixed
# columns as factors), the conditional fitted values X b + Z u and the
# residuals, per trait (columns) and analysed row (rows). The engine gives
# X b, unique whatever g-inverse its equations took; b in lme4's coding is
# its least-squares solution on lme4's full-rank X, exact since X b lies in
# the span of X.
fits_of <- function(out, data, model) {
  s <- out$settings
  traits <- s$traits
  rows <- setdiff(seq_len(s$rows), s$dropped_rows)
  name_rows <- function(m) {
    m <- as.matrix(m)
    dimnames(m) <- list(rownames(data)[rows], traits)
    m
  }
  fitted <- name_rows(out$fitted)
  observed <- as.matrix(data[rows, traits, drop = FALSE])
  residuals <- name_rows(observed - fitted)
  fixed <- if (nzchar(model$female)) (if (nzchar(model$env)) model$env else character()) else setdiff(model$fixed, "1")
  intercept <- nzchar(model$female) || "1" %in% model$fixed
  frame <- data.frame(row.names = seq_along(rows))
  for (column in unique(unlist(strsplit(fixed, "*", fixed = TRUE))))
    frame[[column]] <- factor(as.character(data[rows, column]))
  rhs <- c(if (length(fixed)) gsub("*", ":", fixed, fixed = TRUE) else character(), if (!intercept) "0")
  if (length(rhs) == 0L) rhs <- "1"
  x <- stats::model.matrix(stats::as.formula(paste("~", paste(rhs, collapse = " + "))), frame)
  xb <- as.matrix(out$fixed_fitted)
  fixef <- matrix(NA_real_, ncol(x), length(traits), dimnames = list(colnames(x), traits))
  for (i in seq_along(traits))
    if (all(is.finite(xb[, i]))) fixef[, i] <- qr.coef(qr(x), xb[, i])
  list(fixef, fitted, residuals)
}

# A table of the engine as a data frame: its columns come as the CSV file
# names and orders them, the numbers as doubles (a missing weight is NA).
result_table <- function(columns) as.data.frame(columns, stringsAsFactors = FALSE)

# The effects of every term in the order of its design columns' factor
# levels (a column that is not a factor keeps the engine's code order).
# Level names: "P" (A), "P x Q" (D), "E: P" (AE), "E: P x Q" (DE), "E: K"
# (blocks); a general model's "L" or "L1: L2" for COL1*COL2.
in_factor_order <- function(effects, data, model) {
  factor_levels <- function(columns) {
    columns <- columns[nzchar(columns) & columns %in% names(data)]
    found <- lapply(columns, function(c) if (is.factor(data[[c]])) levels(data[[c]]))
    if (length(found) == 0L || any(vapply(found, is.null, TRUE))) NULL else unique(unlist(found))
  }
  parents <- factor_levels(c(model$female, model$male))
  env <- factor_levels(model$env)
  parts_of <- function(term) {
    switch(term,
           A = list(parents), D = list(parents, parents), AE = list(env, parents),
           DE = list(env, parents, parents), B = list(env, factor_levels(model$block)),
           if (nzchar(model$female)) NULL else lapply(strsplit(term, "*", fixed = TRUE)[[1L]], factor_levels))
  }
  key <- seq_len(nrow(effects))
  for (term in unique(effects$term)) {
    rows <- which(effects$term == term)
    parts <- parts_of(term)
    if (length(parts) == 0L || all(vapply(parts, is.null, TRUE))) next
    split <- strsplit(effects$level[rows], ": | x ")
    if (any(lengths(split) != length(parts))) next
    # Each part's position among its factor's levels, or among the codes as
    # the engine listed them.
    ranks <- lapply(seq_along(parts), function(k) {
      codes <- vapply(split, `[`, "", k)
      if (is.null(parts[[k]])) match(codes, unique(codes)) else match(codes, parts[[k]])
    })
    if (anyNA(unlist(ranks))) next
    within <- do.call(order, c(list(match(effects$trait[rows], unique(effects$trait))), ranks))
    key[rows] <- rows[within]
  }
  out <- effects[key, , drop = FALSE]
  rownames(out) <- NULL
  out
}
