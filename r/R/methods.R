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
    sprintf("Standard errors: parametric bootstrap, %d samples (seed %.0f)", s$bootstrap_samples, s$seed)
  else
    sprintf("Standard errors: jackknife, %d replicates of groups of %d", s$replicates, s$group_size)
}

# A flagged estimate ends with "!", everywhere; this line says so.
flag_line <- "! flagged: the row's flag column says what not to over-interpret; summary() explains each flag."

# An estimate as a table cell: "0.60 (0.21) S**!" (with S.E.) or "0.60 S**!".
estimate_cell <- function(estimate, se, mark, flag, format = "%.4g", with_se = TRUE) {
  value <- sprintf(format, estimate)
  if (with_se) value <- paste0(value, " (", sprintf(format, se), ")")
  paste0(value, " ", mark, ifelse(nzchar(flag), "!", ""))
}

# The variance components of every trait, a column per component.
variance_matrix <- function(x) {
  v <- x$variances
  reshape_wide(v$trait, v$component, estimate_cell(v$estimate, v$se, v$mark, v$flag, "%.4g"), x$settings$traits)
}

heritability_matrix <- function(x) {
  h <- x$heritability
  if (is.null(h)) return(NULL)
  reshape_wide(h$trait, h$quantity, estimate_cell(h$estimate, h$se, h$mark, h$flag, "%.2f"), x$settings$traits)
}

print.minque <- function(x, component = NULL, ...) {
  s <- x$settings
  cat(sprintf("minque-cov analysis of %s: %s\n", s$data, s$model))
  cat(sprintf("Design: %s\n", s$design))
  dropped <- length(s$dropped_rows)
  cat(sprintf("Traits: %s%s\n", paste(s$traits, collapse = ", "),
              if (dropped > 0L) sprintf(" (%d rows with a missing value dropped)", dropped) else ""))
  cat(sprintf("%s; %d components\n", standard_errors_text(s), s$components))
  several <- length(s$traits) >= 2L
  if (!several) {
    cat("\nVariance components (estimate, S.E. and mark):\n")
    print(variance_matrix(x), right = TRUE)
  }
  h <- heritability_matrix(x)
  if (!is.null(h)) {
    cat(sprintf("\n%s (estimate, S.E. and mark):\n",
                if (any(grepl("^h2", x$heritability$quantity))) "Heritabilities" else "Shares of the phenotypic variance"))
    print(h, right = TRUE)
  }
  if (several) {
    component <- default_component(x, component)
    cat(sprintf("\n%s correlations (estimate and mark; n/d: not defined):\n\n", component))
    print(noquote(correlation_matrix(x, component)), right = TRUE)
  }
  cat("\n", flag_line, "\n", sep = "")
  tables <- Filter(function(t) !is.null(x[[t]]) && nrow(x[[t]]) > 0L,
                   c("variances", "covariances", "correlations", "heritability", "effects"))
  cat(sprintf("Tables: %s.\nAccessors: VarCorr(), estimates(), confint(), nobs(), sigma(), tidy(), glance()%s.\n",
              paste0("$", tables, collapse = ", "),
              if (!is.null(x$effects)) ", ranef(), fixef(), coef(), fitted(), residuals()" else ""))
  cat(sprintf("Pictures: %s.\n", paste0("plot(x, which = \"", plot_choices(x), "\")", collapse = ", ")))
  invisible(x)
}

summary.minque <- function(object, ...) {
  flags <- unlist(strsplit(unlist(lapply(object[intersect(c("variances", "covariances", "correlations",
                                                              "heritability", "effects"), names(object))],
                                         function(t) t$flag)), ";", fixed = TRUE))
  flags <- table(flags[nzchar(flags)])
  meanings <- .minque_flag_meanings(object$settings$standard_errors)
  out <- list(settings = object$settings, variances = variance_matrix(object),
              heritability = heritability_matrix(object),
              correlations = lapply(stats_components(object), function(c) correlation_matrix(object, c)),
              effects = if (!is.null(object$effects)) effect_matrices(object),
              flags = flags,
              meanings = meanings[meanings$flag %in% names(flags), , drop = FALSE])
  class(out) <- "summary.minque"
  out
}

# Per term, the predicted effects as a matrix of cells, a row per level and
# a column per trait.
effect_matrices <- function(x) {
  e <- x$effects
  lapply(setNames(unique(e$term), unique(e$term)), function(tm) {
    rows <- e[e$term == tm, , drop = FALSE]
    reshape_wide(rows$level, rows$trait, estimate_cell(rows$effect, rows$se, rows$mark, rows$flag, "%.4g"),
                 unique(rows$level))
  })
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
  cat("\nVariance components (estimate, S.E. and mark):\n")
  print(x$variances, right = TRUE)
  if (!is.null(x$heritability)) {
    cat("\nHeritabilities or shares (estimate, S.E. and mark):\n")
    print(x$heritability, right = TRUE)
  }
  for (c in names(x$correlations)) {
    cat(sprintf("\n%s correlations:\n", c))
    print(noquote(x$correlations[[c]]), right = TRUE)
  }
  for (term in names(x$effects)) {
    cat(sprintf("\nPredicted effects of %s (effect, S.E. and mark):\n", term))
    print(x$effects[[term]], right = TRUE)
  }
  cat("\n", flag_line, "\n", sep = "")
  if (length(x$flags) > 0L) {
    cat("\nFlags (how many estimates carry each, and what it means):\n")
    for (k in seq_len(nrow(x$meanings)))
      cat(strwrap(sprintf("%s (%d): %s", x$meanings$flag[k], x$flags[[x$meanings$flag[k]]], x$meanings$meaning[k]),
                  exdent = 4L), sep = "\n")
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
# whether the cell is cut or next to the bound (hatched).
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
  cells$panel <- rep(component, nrow(cells))
  cells
}

# A component in words, for titles.
component_words <- function(component) {
  words <- c("V(A)" = "Additive genetic", "V(D)" = "Dominance", "V(AE)" = "Additive x environment",
             "V(DE)" = "Dominance x environment", "V(B)" = "Block", "V(e)" = "Residual",
             "G+GE" = "Genotypic (G+GE)", "Phenotypic" = "Phenotypic")
  ifelse(component %in% names(words), paste0(words[component], ifelse(grepl("^V\\(", component),
                                                                       paste0(" ", component), "")), component)
}

# What plot() can draw for this analysis.
plot_choices <- function(x) {
  c(if (length(x$settings$traits) >= 2L) "correlations", if (!is.null(x$heritability)) "heritability",
    if (!is.null(x$effects)) "effects")
}

heatmap_legend <- paste("Hatched: cut to +1 or -1, or 0.95 or more in size (the S.E. is too small there).",
                        "Grey n/d: not defined (a variance at or below zero).",
                        "!: flagged (the flag column; summary() explains each flag).", sep = "\n")

interval_legend <- function(x) {
  paste(if (identical(x$settings$standard_errors, "bootstrap"))
          "Bars: 95% intervals, the bootstrap's 2.5% and 97.5% quantiles."
        else sprintf("Bars: 95%% t intervals on the jackknife's %d degrees of freedom.", x$settings$replicates - 1L),
        "!: flagged (the flag column; summary() explains each flag).", sep = "\n")
}

plot.minque <- function(x, which = NULL, component = NULL, term = NULL,
                        graphics = c("auto", "ggplot2", "base"), top = 20, ...) {
  graphics <- match.arg(graphics)
  choices <- plot_choices(x)
  if (is.null(which)) which <- choices[1L]
  if (!is.character(which) || length(which) != 1L || !which %in% c("correlations", "heritability", "effects"))
    stop("'which' must be \"correlations\", \"heritability\" or \"effects\"", call. = FALSE)
  if (!which %in% choices)
    stop(sprintf("the analysis has no %s (%s); which = %s", which,
                 switch(which, correlations = "one trait", heritability = "no heritabilities",
                        effects = "run minque_analyse() with effects = TRUE"),
                 paste0("\"", choices, "\"", collapse = " or ")), call. = FALSE)
  use_ggplot <- switch(graphics, auto = requireNamespace("ggplot2", quietly = TRUE), ggplot2 = TRUE, base = FALSE)
  if (use_ggplot && !requireNamespace("ggplot2", quietly = TRUE))
    stop("graphics = \"ggplot2\" needs the package ggplot2", call. = FALSE)
  subtitle <- sprintf("%s\n%s", x$settings$design, standard_errors_text(x$settings))
  switch(which,
         correlations = plot_correlations(x, component, use_ggplot, subtitle),
         heritability = plot_heritability(x, use_ggplot, subtitle),
         effects = plot_effects(x, term, use_ggplot, subtitle, top))
}

plot_correlations <- function(x, component, use_ggplot, subtitle) {
  components <- if (is.null(component)) default_component(x, NULL) else {
    for (c in component) default_component(x, c)
    component
  }
  cells <- do.call(rbind, lapply(components, function(c) heatmap_cells(x, c)))
  cells$panel <- factor(component_words(cells$panel), levels = component_words(components))
  title <- if (length(components) == 1L) paste(component_words(components), "correlations")
           else "Correlations of the components"
  if (use_ggplot) {
    hatched <- cells[cells$flagged, , drop = FALSE]
    # Three diagonal strokes across each hatched cell (offsets from its centre).
    offsets <- list(c(-0.5, -0.5, 0.5, 0.5), c(0, -0.5, 0.5, 0), c(-0.5, 0, 0, 0.5))
    strokes <- do.call(rbind, lapply(offsets, function(o)
      data.frame(panel = hatched$panel, x = as.integer(hatched$column) + o[1], y = as.integer(hatched$row) + o[2],
                 xend = as.integer(hatched$column) + o[3], yend = as.integer(hatched$row) + o[4])))
    p <- ggplot2::ggplot(cells, ggplot2::aes(x = column, y = row)) +
      ggplot2::geom_tile(ggplot2::aes(fill = value), colour = "white") +
      ggplot2::geom_segment(data = strokes, ggplot2::aes(x = x, y = y, xend = xend, yend = yend),
                            inherit.aes = FALSE, colour = "grey15", linewidth = 0.5) +
      ggplot2::geom_tile(data = hatched, fill = NA, colour = "black", linewidth = 0.6) +
      ggplot2::geom_text(ggplot2::aes(label = label), size = 3) +
      ggplot2::scale_fill_gradient2(low = "#2166ac", mid = "white", high = "#b2182b", limits = c(-1, 1),
                                    na.value = "grey75", name = "r") +
      ggplot2::labs(x = NULL, y = NULL, title = title, subtitle = subtitle, caption = heatmap_legend) +
      ggplot2::coord_equal() + ggplot2::theme_minimal() +
      ggplot2::theme(axis.text.x = ggplot2::element_text(angle = 45, hjust = 1),
                     plot.caption = ggplot2::element_text(hjust = 0))
    if (length(components) > 1L) p <- p + ggplot2::facet_wrap(~panel)
    print(p)
    return(invisible(p))
  }
  traits <- x$settings$traits
  t <- length(traits)
  palette <- colorRampPalette(c("#2166ac", "white", "#b2182b"))(201)
  old <- par(mfrow = rev(grDevices::n2mfrow(length(components))), mar = c(6, 6, 3, 1), oma = c(4, 0, 4, 0))
  on.exit(par(old))
  for (panel in levels(cells$panel)) {
    mine <- cells[cells$panel == panel, , drop = FALSE]
    plot.new()
    plot.window(xlim = c(0, t + 1.2), ylim = c(0, t), asp = 1)
    for (i in seq_len(t)) rect(i - 1, t - i, i, t - i + 1, col = "grey85", border = "white")
    for (k in seq_len(nrow(mine))) {
      cx <- as.integer(mine$column[k]) - 1
      cy <- t - match(as.character(mine$row[k]), traits)
      fill <- if (is.na(mine$value[k])) "grey75" else palette[round((mine$value[k] + 1) * 100) + 1]
      rect(cx, cy, cx + 1, cy + 1, col = fill, border = "white")
      if (mine$flagged[k]) rect(cx, cy, cx + 1, cy + 1, density = 10, angle = 45, col = "grey30", border = "black")
      text(cx + 0.5, cy + 0.5, mine$label[k], cex = 0.7)
    }
    # The colour key: r from -1 (bottom) to 1 (top), right of the cells.
    steps <- seq(-1, 1, length.out = 41)
    for (k in seq_len(length(steps) - 1L))
      rect(t + 0.4, (k - 1) / 40 * t, t + 0.7, k / 40 * t, col = palette[round((steps[k] + 1) * 100) + 1], border = NA)
    text(t + 0.75, c(0, t / 2, t), c("-1", "0", "1"), adj = 0, cex = 0.7, xpd = TRUE)
    text(t + 0.55, t + 0.25, "r", cex = 0.8, xpd = TRUE)
    text(seq_len(t) - 0.5, -0.2, traits, srt = 45, adj = 1, xpd = TRUE, cex = 0.8)
    text(-0.2, t - seq_len(t) + 0.5, traits, adj = 1, xpd = TRUE, cex = 0.8)
    title(main = if (length(components) == 1L) title else panel, cex.main = 0.9)
  }
  if (length(components) > 1L) graphics::mtext(title, outer = TRUE, line = 2, font = 2)
  graphics::mtext(rev(strsplit(subtitle, "\n")[[1]]), side = 3, outer = TRUE, line = c(-0.2, 0.6), cex = 0.7)
  graphics::mtext(strsplit(heatmap_legend, "\n")[[1]], side = 1, outer = TRUE, line = 0:2, cex = 0.65, adj = 0)
  invisible(cells)
}

# Points with intervals, one panel per group; the data frame drawn.
interval_panels <- function(d, use_ggplot, title, subtitle, caption, xlab, horizontal,
                            reference = if (horizontal) c(0, 1) else 0, free_items = FALSE) {
  # Items shown by their name column where they have one (an item per panel).
  name_of <- function(item) if (is.null(d$name)) as.character(item) else d$name[match(as.character(item), as.character(d$item))]
  if (use_ggplot) {
    p <- if (horizontal)
      ggplot2::ggplot(d, ggplot2::aes(x = estimate, y = item)) +
        ggplot2::geom_vline(xintercept = reference, colour = "grey70") +
        ggplot2::geom_errorbarh(ggplot2::aes(xmin = low, xmax = high), height = 0.2, na.rm = TRUE) +
        ggplot2::geom_point() +
        ggplot2::geom_text(ggplot2::aes(label = label), vjust = -0.8, size = 3) +
        ggplot2::labs(x = xlab, y = NULL)
    else
      ggplot2::ggplot(d, ggplot2::aes(x = item, y = estimate)) +
        ggplot2::geom_hline(yintercept = 0, colour = "grey70") +
        ggplot2::geom_errorbar(ggplot2::aes(ymin = low, ymax = high), width = 0.2, na.rm = TRUE) +
        ggplot2::geom_point() +
        ggplot2::geom_text(ggplot2::aes(label = label), hjust = -0.2, size = 3) +
        ggplot2::labs(x = NULL, y = xlab)
    if (!is.null(d$name)) p <- p + ggplot2::scale_y_discrete(labels = name_of)
    p <- p + ggplot2::facet_wrap(~panel, scales = if (free_items) "free" else if (horizontal) "fixed" else "free_y") +
      ggplot2::labs(title = title, subtitle = subtitle, caption = caption) + ggplot2::theme_bw() +
      ggplot2::theme(plot.caption = ggplot2::element_text(hjust = 0))
    print(p)
    return(invisible(p))
  }
  panels <- levels(d$panel)
  captions <- strsplit(caption, "\n")[[1]]
  old <- par(mfrow = rev(grDevices::n2mfrow(length(panels))), mar = c(4, 6, 2.5, 1),
             oma = c(length(captions) + 1, 0, 4, 0))
  on.exit(par(old))
  for (panel in panels) {
    mine <- d[d$panel == panel, , drop = FALSE]
    k <- seq_len(nrow(mine))
    range <- range(c(mine$estimate, mine$low, mine$high, reference), na.rm = TRUE)
    if (horizontal) {
      plot(mine$estimate, rev(k), xlim = range, ylim = c(0.5, max(k) + 0.5), yaxt = "n", pch = 19,
           xlab = xlab, ylab = "", main = panel, cex.main = 0.9)
      graphics::axis(2, at = rev(k), labels = name_of(mine$item), las = 1, cex.axis = 0.8)
      graphics::abline(v = reference, col = "grey70")
      graphics::segments(mine$low, rev(k), mine$high, rev(k))
      text(mine$estimate, rev(k), mine$label, pos = 3, cex = 0.7)
    } else {
      plot(k, mine$estimate, ylim = range, xlim = c(0.5, max(k) + 0.5), xaxt = "n", pch = 19,
           xlab = "", ylab = xlab, main = panel, cex.main = 0.9)
      graphics::axis(1, at = k, labels = name_of(mine$item), las = 2, cex.axis = 0.8)
      graphics::abline(h = reference, col = "grey70")
      graphics::segments(k, mine$low, k, mine$high)
      text(k, mine$estimate, mine$label, pos = 4, cex = 0.7)
    }
  }
  graphics::mtext(title, outer = TRUE, line = 2.2, font = 2)
  graphics::mtext(rev(strsplit(subtitle, "\n")[[1]]), outer = TRUE, line = c(0.2, 1), cex = 0.7)
  graphics::mtext(captions, side = 1, outer = TRUE, line = seq_along(captions) - 1L, cex = 0.65, adj = 0)
  invisible(d)
}

plot_heritability <- function(x, use_ggplot, subtitle) {
  h <- x$heritability
  ci <- intervals(x, h, 0.95)
  d <- data.frame(panel = factor(h$quantity, levels = unique(h$quantity)),
                  item = factor(h$trait, levels = rev(x$settings$traits)), estimate = h$estimate,
                  low = ci[, 1], high = ci[, 2],
                  label = sprintf("%.2f %s%s", h$estimate, h$mark, ifelse(nzchar(h$flag), "!", "")))
  shares <- !any(grepl("^h2", h$quantity))
  interval_panels(d, use_ggplot, if (shares) "Shares of the phenotypic variance" else "Heritabilities",
                  subtitle, interval_legend(x), if (shares) "share" else "heritability", horizontal = TRUE)
}

# An interaction of two columns (Geno*Env) as a heatmap per trait: the
# column with more levels down the side (beyond 2 top of them, the top and
# bottom `top` by their mean effect, the rest counted), the other across.
interaction_heatmap <- function(x, rows, parts, term, use_ggplot, subtitle, top) {
  first <- vapply(parts, `[`, "", 1L)
  second <- vapply(parts, `[`, "", 2L)
  swap <- length(unique(second)) > length(unique(first))
  side <- if (swap) second else first
  across <- if (swap) first else second
  side_levels <- unique(side)
  names_of <- strsplit(term, "*", fixed = TRUE)[[1L]]
  if (swap) names_of <- rev(names_of)
  # The side's levels by their own predicted effect where the model has
  # that term (a genotype's performance), else by their mean effect here;
  # averaged over the traits.
  main <- x$effects[x$effects$term == names_of[1L], , drop = FALSE]
  by <- if (nrow(main) > 0L) "its predicted effect" else "its mean effect here"
  source <- if (nrow(main) > 0L) main else data.frame(level = side, effect = rows$effect)
  mean_effect <- tapply(source$effect, factor(source$level, levels = side_levels), mean, na.rm = TRUE)
  ordered <- side_levels[order(mean_effect, decreasing = TRUE, na.last = TRUE)]
  hidden <- 0L
  if (length(ordered) > 2L * top) {
    hidden <- length(ordered) - 2L * top
    ordered <- ordered[c(seq_len(top), length(ordered) - rev(seq_len(top)) + 1L)]
  }
  keep <- side %in% ordered
  d <- data.frame(panel = factor(rows$trait[keep], levels = x$settings$traits),
                  row = factor(side[keep], levels = rev(ordered)), column = factor(across[keep], levels = unique(across)),
                  effect = rows$effect[keep], stringsAsFactors = FALSE)
  title <- sprintf("Predicted effects of %s", term)
  caption <- sprintf("Each %s sorted by %s%s.", names_of[1L], by,
                     if (hidden > 0L) sprintf(": the top and bottom %d of %d; %d hidden (top = %d)", top,
                                              length(side_levels), hidden, top) else "")
  if (use_ggplot)
    return(ggplot2::ggplot(d, ggplot2::aes(x = column, y = row, fill = effect)) + ggplot2::geom_tile() +
             ggplot2::scale_fill_gradient2(low = "#2166ac", mid = "white", high = "#b2182b", midpoint = 0, na.value = "grey85") +
             ggplot2::facet_wrap(~panel) +
             ggplot2::labs(x = names_of[2L], y = names_of[1L], title = title, subtitle = subtitle, caption = caption) +
             ggplot2::theme_bw() + ggplot2::theme(plot.caption = ggplot2::element_text(hjust = 0)))
  traits <- levels(d$panel)
  old <- graphics::par(mfrow = c(1L, length(traits)), mar = c(4, 6, 3, 1), oma = c(2, 0, 2, 0))
  on.exit(graphics::par(old))
  limit <- max(abs(d$effect), na.rm = TRUE)
  colours <- grDevices::colorRampPalette(c("#2166ac", "white", "#b2182b"))(41)
  for (trait in traits) {
    m <- matrix(NA_real_, nlevels(d$column), nlevels(d$row))
    mine <- d[d$panel == trait, , drop = FALSE]
    m[cbind(as.integer(mine$column), as.integer(mine$row))] <- mine$effect
    graphics::image(seq_len(nrow(m)), seq_len(ncol(m)), m, col = colours, zlim = c(-limit, limit), axes = FALSE,
                    xlab = names_of[2L], ylab = "", main = trait)
    graphics::axis(1, at = seq_len(nrow(m)), labels = levels(d$column), las = 2, cex.axis = 0.7)
    graphics::axis(2, at = seq_len(ncol(m)), labels = levels(d$row), las = 1, cex.axis = 0.7)
  }
  graphics::mtext(title, outer = TRUE, line = 0.5)
  graphics::mtext(caption, side = 1, outer = TRUE, line = 0.5, cex = 0.8)
  invisible(d)
}

plot_effects <- function(x, term, use_ggplot, subtitle, top) {
  e <- x$effects
  terms <- unique(e$term)
  if (is.null(term)) term <- if ("A" %in% terms) "A" else terms[1L]
  if (!is.character(term) || length(term) != 1L || !term %in% terms)
    stop(sprintf("'term' must be one of %s", paste(terms, collapse = ", ")), call. = FALSE)
  top <- count_argument(top, "top", 1L, .Machine$integer.max)
  rows <- e[e$term == term, , drop = FALSE]
  parts <- strsplit(rows$level, ": ", fixed = TRUE)
  if (grepl("*", term, fixed = TRUE) && all(lengths(parts) == 2L))
    return(interaction_heatmap(x, rows, parts, term, use_ggplot, subtitle, top))
  ci <- intervals(x, rows, 0.95)
  rows$low <- ci[, 1]
  rows$high <- ci[, 2]
  # Per trait, the levels sorted by effect; beyond 2 top levels, the top and
  # bottom `top` of them, and a note of how many are hidden.
  levels_count <- length(unique(rows$level))
  shown <- do.call(rbind, lapply(x$settings$traits, function(trait) {
    mine <- rows[rows$trait == trait, , drop = FALSE]
    mine <- mine[order(mine$effect, decreasing = TRUE, na.last = TRUE), , drop = FALSE]
    if (nrow(mine) > 2L * top) mine <- mine[c(seq_len(top), nrow(mine) - rev(seq_len(top)) + 1L), , drop = FALSE]
    mine
  }))
  # One item per trait and level, in the order shown (largest effect on top).
  key <- paste(shown$trait, shown$level, sep = "\t")
  d <- data.frame(panel = factor(shown$trait, levels = x$settings$traits),
                  item = factor(key, levels = rev(key)), name = shown$level, estimate = shown$effect,
                  low = shown$low, high = shown$high,
                  label = sprintf("%s%s", shown$mark, ifelse(nzchar(shown$flag), "!", "")))
  title <- if (term == "A") "Predicted additive effects of the parents (A)" else sprintf("Predicted effects of %s", term)
  caption <- interval_legend(x)
  if (levels_count > 2L * top)
    caption <- paste(caption, sprintf("Sorted by effect: the top and bottom %d of %d levels per trait; %d hidden (top = %d).",
                                      top, levels_count, levels_count - 2L * top, top), sep = "\n")
  interval_panels(d, use_ggplot, title, subtitle, caption, "effect", horizontal = TRUE, reference = 0, free_items = TRUE)
}
