# The columns of the pictures' data, named in ggplot2's aesthetics.
utils::globalVariables(c("column", "row", "value", "label", "estimate", "item", "low", "high", "panel", "x", "y",
                         "xend", "yend", "effect"))
