# The columns of the heatmap's cells, named in ggplot2's aesthetics.
utils::globalVariables(c("column", "row", "value", "label"))
