# Methods of the "minque" result: print, summary, as.data.frame and plot.

# The correlation component shown by default: the additive one when the
# model has it, else the first reported.
default_component <- function(x, component) {
  components <- x$correlation_components
  if (!is.null(component)) {
    if (!is.character(component) || length(component) != 1L || !component %in% components)
      stop(sprintf("'component' must be one of %s", paste(components, collapse = ", ")), call. = FALSE)
    return(component)
  }
  if (length(components) == 0L) stop("the analysis has no correlations (one trait)", call. = FALSE)
  if ("V(A)" %in% components) "V(A)" else components[1L]
}

has_flag <- function(flags, which) vapply(strsplit(flags, ";", fixed = TRUE), function(f) any(f %in% which), TRUE)

# A correlation that is not defined: printed 0 by the report, never a number here.
not_defined <- function(rows) !is.finite(rows$estimate) | has_flag(rows$flag, c("undefined", "below_threshold", "not_finite"))

# The text of each correlation cell: estimate to two decimals and mark, !
# when flagged; "n/d" when not defined; "+1 cut" or "-1 cut" when cut.
cell_text <- function(rows) {
  text <- sprintf("%.2f %s%s", rows$estimate, rows$mark, ifelse(nzchar(rows$flag), "!", ""))
  cut <- has_flag(rows$flag, "cut")
  text[cut] <- ifelse(rows$estimate[cut] > 0, "+1 cut", "-1 cut")
  text[not_defined(rows)] <- "n/d"
  text
}

# The rows of one component's correlations as a lower-triangular matrix of
# cell texts, traits in the analysis' order.
correlation_matrix <- function(x, component) {
  traits <- x$settings$traits
  rows <- x$correlations[x$correlations$component == component, , drop = FALSE]
  m <- matrix("", length(traits), length(traits), dimnames = list(traits, traits))
  text <- cell_text(rows)
  for (k in seq_len(nrow(rows))) m[rows$trait_2[k], rows$trait_1[k]] <- text[k]
  m[-1L, -length(traits), drop = FALSE]
}

# Where the standard errors come from, in words.
standard_errors_text <- function(s) {
  if (identical(s$standard_errors, "bootstrap"))
    sprintf("standard errors: parametric bootstrap, %d samples (seed %.0f)", s$bootstrap_samples, s$seed)
  else
    sprintf("standard errors: jackknife, %d replicates of groups of %d", s$replicates, s$group_size)
}

print.minque <- function(x, component = NULL, ...) {
  s <- x$settings
  cat(sprintf("minque-cov analysis of %s: %s\n", s$data, s$model))
  dropped <- length(s$dropped_rows)
  cat(sprintf("%d observations%s; traits: %s\n", s$observations,
              if (dropped > 0L) sprintf(" (%d rows with a missing value dropped)", dropped) else "",
              paste(s$traits, collapse = ", ")))
  cat(sprintf("Design: %s\n", s$design))
  cat(sprintf("%s; %d components\n", standard_errors_text(s), s$components))
  if (length(s$traits) >= 2L) {
    component <- default_component(x, component)
    cat(sprintf("\n%s correlations (estimate and mark; flagged ones with !, n/d: not defined):\n\n", component))
    print(noquote(correlation_matrix(x, component)), right = TRUE)
  }
  tables <- intersect(c("variances", "covariances", "correlations", "heritability", "effects"), names(x))
  cat(sprintf("\nTables: %s; plot() draws the correlation heatmap.\n", paste0("$", tables, collapse = ", ")))
  invisible(x)
}

summary.minque <- function(object, ...) {
  v <- object$variances
  variances <- reshape_wide(v$trait, v$component, sprintf("%.4g %s", v$estimate, v$mark), object$settings$traits)
  flags <- unlist(strsplit(unlist(lapply(object[intersect(c("variances", "covariances", "correlations",
                                                              "heritability", "effects"), names(object))],
                                         function(t) t$flag)), ";", fixed = TRUE))
  out <- list(settings = object$settings, variances = variances,
              heritability = if (!is.null(object$heritability)) {
                h <- object$heritability
                reshape_wide(h$trait, h$quantity, sprintf("%.2f (%.2f) %s", h$estimate, h$se, h$mark),
                             object$settings$traits)
              },
              correlations = lapply(stats_components(object), function(c) correlation_matrix(object, c)),
              flags = table(flags[nzchar(flags)]))
  class(out) <- "summary.minque"
  out
}

stats_components <- function(x) {
  components <- x$correlation_components
  setNames(as.list(components), components)
}

# A table of `value` with one row per trait and one column per `key`.
reshape_wide <- function(trait, key, value, traits) {
  keys <- unique(key)
  m <- matrix("", length(traits), length(keys), dimnames = list(traits, keys))
  m[cbind(match(trait, traits), match(key, keys))] <- value
  noquote(m)
}

print.summary.minque <- function(x, ...) {
  s <- x$settings
  cat(sprintf("minque-cov analysis of %s: %s\nDesign: %s\n%s\n", s$data, s$model, s$design,
              standard_errors_text(s)))
  cat("\nVariance components (estimate and mark):\n")
  print(x$variances, right = TRUE)
  if (!is.null(x$heritability)) {
    cat("\nHeritabilities (estimate, S.E. and mark):\n")
    print(x$heritability, right = TRUE)
  }
  for (c in names(x$correlations)) {
    cat(sprintf("\n%s correlations:\n", c))
    print(noquote(x$correlations[[c]]), right = TRUE)
  }
  if (length(x$flags) > 0L) {
    cat("\nFlags (what not to over-interpret; the guide explains each):\n")
    print(x$flags)
  }
  invisible(x)
}

as.data.frame.minque <- function(x, row.names = NULL, optional = FALSE,
                                 table = c("correlations", "covariances", "variances", "heritability", "effects"),
                                 component = NULL, ...) {
  table <- match.arg(table)
  t <- x[[table]]
  if (is.null(t)) stop(sprintf("the analysis has no %s table", table), call. = FALSE)
  if (!is.null(component)) {
    column <- intersect(c("component", "quantity", "term"), names(t))[1L]
    t <- t[t[[column]] %in% component, , drop = FALSE]
  }
  if (!is.null(row.names)) rownames(t) <- row.names else rownames(t) <- NULL
  t
}

# Every cell of one component's correlation heatmap: both triangles, the
# value where it is defined (NA where not: never drawn as 0), the text, and
# whether the cell is cut or next to the bound.
heatmap_cells <- function(x, component) {
  traits <- x$settings$traits
  rows <- x$correlations[x$correlations$component == component, , drop = FALSE]
  defined <- !not_defined(rows)
  half <- data.frame(row = rows$trait_2, column = rows$trait_1, value = ifelse(defined, rows$estimate, NA_real_),
                     label = sub(" ", "\n", cell_text(rows), fixed = TRUE),
                     flagged = has_flag(rows$flag, c("cut", "near_bound")), stringsAsFactors = FALSE)
  mirror <- half
  mirror$row <- half$column
  mirror$column <- half$row
  cells <- rbind(half, mirror)
  cells$row <- factor(cells$row, levels = rev(traits))
  cells$column <- factor(cells$column, levels = traits)
  cells
}

plot.minque <- function(x, component = NULL, graphics = c("auto", "ggplot2", "base"), ...) {
  graphics <- match.arg(graphics)
  component <- default_component(x, component)
  cells <- heatmap_cells(x, component)
  title <- sprintf("%s correlations of %s", component, x$settings$data)
  use_ggplot <- switch(graphics, auto = requireNamespace("ggplot2", quietly = TRUE), ggplot2 = TRUE, base = FALSE)
  if (use_ggplot) {
    if (!requireNamespace("ggplot2", quietly = TRUE)) stop("graphics = \"ggplot2\" needs the package ggplot2", call. = FALSE)
    p <- ggplot2::ggplot(cells, ggplot2::aes(x = column, y = row)) +
      ggplot2::geom_tile(ggplot2::aes(fill = value), colour = "white") +
      ggplot2::geom_tile(data = cells[cells$flagged, , drop = FALSE], fill = NA, colour = "black",
                         linetype = "dashed", linewidth = 0.8) +
      ggplot2::geom_text(ggplot2::aes(label = label), size = 3) +
      ggplot2::scale_fill_gradient2(low = "#2166ac", mid = "white", high = "#b2182b", limits = c(-1, 1),
                                    na.value = "grey75", name = "r") +
      ggplot2::labs(x = NULL, y = NULL, title = title,
                    caption = "grey n/d: not defined; dashed: cut to +-1 or next to the bound") +
      ggplot2::coord_equal() + ggplot2::theme_minimal() +
      ggplot2::theme(axis.text.x = ggplot2::element_text(angle = 45, hjust = 1))
    print(p)
    return(invisible(p))
  }
  traits <- x$settings$traits
  t <- length(traits)
  palette <- colorRampPalette(c("#2166ac", "white", "#b2182b"))(201)
  old <- par(mar = c(6, 6, 3, 1))
  on.exit(par(old))
  plot.new()
  plot.window(xlim = c(0, t), ylim = c(0, t), asp = 1)
  for (i in seq_len(t)) rect(i - 1, t - i, i, t - i + 1, col = "grey85", border = "white")
  for (k in seq_len(nrow(cells))) {
    cx <- as.integer(cells$column[k]) - 1
    cy <- t - match(as.character(cells$row[k]), traits)
    fill <- if (is.na(cells$value[k])) "grey75" else palette[round((cells$value[k] + 1) * 100) + 1]
    rect(cx, cy, cx + 1, cy + 1, col = fill, border = if (cells$flagged[k]) "black" else "white",
         lty = if (cells$flagged[k]) "dashed" else "solid", lwd = if (cells$flagged[k]) 2 else 1)
    text(cx + 0.5, cy + 0.5, cells$label[k], cex = 0.7)
  }
  text(seq_len(t) - 0.5, -0.2, traits, srt = 45, adj = 1, xpd = TRUE, cex = 0.8)
  text(-0.2, t - seq_len(t) + 0.5, traits, adj = 1, xpd = TRUE, cex = 0.8)
  title(main = title)
  invisible(cells)
}
