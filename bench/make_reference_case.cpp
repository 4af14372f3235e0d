// Writes the reference case of the speed measurements into a directory:
// REF.TXT, REF.MAT and an empty REF.DAT, and the same trial as a table with
// its design columns for `minque analyse`, REFTRIAL.csv (F1, F2, F3: the
// levels of the three random factors; Third: 0, 1 or 2 by observation number
// modulo 3, whose three levels span the same fixed columns; the traits).
//
// n = 2000 observations; p = 3 fixed columns (the intercept and two 0/1
// columns); three random factors of 40, 400 and 60 levels (m = 500), each
// observation in one level of each factor, coefficient 1; t = 10 traits with
// effects of every factor. Run with group size 20 (J = 100 replicates) and the
// covariance switch off. Seeded: the same files on every machine. A second
// argument N writes the same kind of case with n = N and level counts scaled
// by N / 2000 (the sizing of the README's cluster section).
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "jackknife_engine/io/model_writer.hpp"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: minque-reference-case DIRECTORY [N]\n");
        return 1;
    }
    // N other than 2000 scales the case: the level counts grow with n.
    const int n = argc == 3 ? std::atoi(argv[2]) : 2000, t = 10;
    if (n < 100) {
        std::fprintf(stderr, "minque-reference-case: N must be at least 100\n");
        return 1;
    }
    const std::vector<int> levels = {40 * n / 2000, 400 * n / 2000, 60 * n / 2000};
    std::mt19937 rng(2000);
    auto uniform = [&rng]() { return (static_cast<double>(rng()) + 0.5) / 4294967296.0; };

    minque::ModelDesign d;
    d.traitCount = t;
    d.obsCount = n;
    d.componentNames = {"V(F1)", "V(F2)", "V(F3)", "V(e)", "-", "-", "-", "-"};
    d.fixedColumns.resize(3);
    for (int m = 1; m <= n; ++m) {
        d.fixedColumns[0].push_back(m);
        if (m % 3 == 1) d.fixedColumns[1].push_back(m);
        if (m % 3 == 2) d.fixedColumns[2].push_back(m);
    }
    std::vector<std::vector<int>> levelOf(levels.size(), std::vector<int>(n + 1));
    for (std::size_t u = 0; u < levels.size(); ++u) {
        minque::ModelDesign::Factor f;
        f.columns.resize(static_cast<std::size_t>(levels[u]));
        for (int m = 1; m <= n; ++m) {
            const int level = static_cast<int>(rng() % static_cast<unsigned>(levels[u]));
            levelOf[u][static_cast<std::size_t>(m)] = level;
            f.columns[static_cast<std::size_t>(level)].emplace_back(m, 1.0f);
        }
        d.factors.push_back(f);
    }
    // Trait values: a mean, one effect per level of each factor, a residual
    // (uniform sums, roughly normal).
    auto normal = [&]() { return uniform() + uniform() + uniform() + uniform() - 2.0; };
    std::vector<std::vector<float>> rows(static_cast<std::size_t>(n), std::vector<float>(t));
    for (int i = 0; i < t; ++i) {
        std::vector<std::vector<double>> effects(levels.size());
        for (std::size_t u = 0; u < levels.size(); ++u)
            for (int l = 0; l < levels[u]; ++l) effects[u].push_back((1.0 + u) * normal());
        for (int m = 1; m <= n; ++m) {
            double y = 10.0 * (i + 1) + 2.0 * normal();
            for (std::size_t u = 0; u < levels.size(); ++u) y += effects[u][static_cast<std::size_t>(levelOf[u][static_cast<std::size_t>(m)])];
            rows[static_cast<std::size_t>(m - 1)][static_cast<std::size_t>(i)] = static_cast<float>(y);
        }
    }
    std::vector<std::string> traitNames;
    for (int i = 1; i <= t; ++i) traitNames.push_back(std::string("T").append(std::to_string(i)));
    std::string trial = "F1,F2,F3,Third";
    for (const auto& name : traitNames) trial += "," + name;
    trial += "\n";
    for (int m = 1; m <= n; ++m) {
        char buffer[32];
        for (std::size_t u = 0; u < levels.size(); ++u) {
            std::snprintf(buffer, sizeof buffer, "%d,", levelOf[u][static_cast<std::size_t>(m)] + 1);
            trial += buffer;
        }
        trial += std::to_string(m % 3);
        for (float v : rows[static_cast<std::size_t>(m - 1)]) {
            std::snprintf(buffer, sizeof buffer, ",%.9g", static_cast<double>(v));
            trial += buffer;
        }
        trial += "\n";
    }
    const std::string dir = argv[1];
    const std::pair<std::string, std::string> files[] = {
        {"REF.MAT", minque::formatModelFile(d)},
        {"REF.TXT", minque::formatDataFile({}, traitNames, {}, rows)},
        {"REF.DAT", ""},
        {"REFTRIAL.csv", trial},
    };
    for (const auto& [name, text] : files) {
        std::FILE* out = std::fopen((dir + "/" + name).c_str(), "wb");
        if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fclose(out) != 0) {
            std::perror(name.c_str());
            return 1;
        }
    }
    return 0;
}
