library(testthat)
library(minquecov)
test_check("minquecov")
