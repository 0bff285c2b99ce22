#include "engine/optimizer/NodeSelection.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <stdexcept>

namespace tvl {
namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

struct WeightedRecord {
    std::size_t index;
    double p;
    double f;
    double key;
};

}  // namespace

double UniformReal(SelectionGenerator& generator) {
    return static_cast<double>(static_cast<std::uint32_t>(generator())) / 4294967296.0;
}

std::uint32_t UniformInt(SelectionGenerator& generator, std::uint32_t r) {
    constexpr std::uint64_t range = 0xFFFFFFFFu;
    const std::uint64_t bins = static_cast<std::uint64_t>(r) + 1;
    std::uint64_t bucket = range / bins;
    if (range % bins == r) {
        ++bucket;  // the buckets fill the output range exactly
    }
    for (;;) {
        const std::uint64_t x = static_cast<std::uint32_t>(generator());
        const std::uint64_t result = x / bucket;
        if (result <= r) {
            return static_cast<std::uint32_t>(result);
        }
    }
}

double NormalSampler::operator()(SelectionGenerator& generator) {
    if (!stored_) {
        u1_ = UniformReal(generator);
        const double u2 = UniformReal(generator);
        rho_ = std::sqrt(-2.0 * std::log(1.0 - u2));
        stored_ = true;
        return mean_ + sd_ * rho_ * std::cos(kTwoPi * u1_);
    }
    stored_ = false;
    return mean_ + sd_ * rho_ * std::sin(kTwoPi * u1_);
}

std::uint32_t SimulationTrials(std::size_t n, std::uint32_t trialsPerNode, std::uint32_t maxTrials) {
    if (n == 0) {
        return 0;
    }
    const std::uint64_t byTotal = maxTrials / n;
    const std::uint64_t byNode = static_cast<std::uint64_t>(trialsPerNode) * n;
    return static_cast<std::uint32_t>(std::min(byTotal, byNode));
}

std::vector<double> SimulateFastest(const SpeedDistributions& distributions, std::uint32_t trials,
                                    SelectionGenerator& generator) {
    const std::size_t n = distributions.size();
    std::vector<NormalSampler> samplers;
    samplers.reserve(n);
    for (const auto& [mean, variance] : distributions) {
        // A variance that is not positive (or NaN) means a node that always
        // runs at its mean.
        samplers.emplace_back(mean, variance > 0.0 ? std::sqrt(variance) : 0.0);
    }
    std::vector<std::uint64_t> wins(n, 1);
    for (std::uint32_t t = 0; t < trials; ++t) {
        double best = 0.0;
        std::size_t bestIndex = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double x = samplers[i](generator);
            if (x > best) {
                best = x;
                bestIndex = i;
            }
        }
        ++wins[bestIndex];
    }
    std::vector<double> probabilities(n);
    const double total = static_cast<double>(n) + static_cast<double>(trials);
    for (std::size_t i = 0; i < n; ++i) {
        probabilities[i] = static_cast<double>(wins[i]) / total;
    }
    return probabilities;
}

std::vector<double> WeightProbabilities(const std::vector<double>& probabilities,
                                        const std::vector<std::uint32_t>& weights) {
    const std::size_t n = std::min(probabilities.size(), weights.size());
    if (n == 0) {
        return probabilities;
    }
    const std::uint32_t heaviest = *std::max_element(weights.begin(), weights.begin() + n);
    std::vector<WeightedRecord> records;
    records.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t w = weights[i];
        double ratio;
        if (heaviest == 0) {
            ratio = 0.0;
        } else if (w == 0) {
            ratio = std::numeric_limits<double>::max();
        } else {
            ratio = static_cast<double>(heaviest) / static_cast<double>(w) - 1.0;
        }
        const double p = probabilities[i];
        const double f = p * ratio;
        double key;
        if (p <= 0.0) {
            key = 0.0;
        } else if (f <= 0.0) {
            key = std::numeric_limits<double>::infinity();
        } else {
            key = p / f;
        }
        records.push_back({i, p, f, key});
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const WeightedRecord& a, const WeightedRecord& b) { return a.key > b.key; });

    double c = records[0].p;
    double d = records[0].f + 1.0;
    double e = c / d;
    std::size_t k = 1;
    while (k < n) {
        if (e >= records[k - 1].key || records[k].key > e) {
            c += records[k].p;
            d += records[k].f;
            ++k;
            e = c / d;
        } else {
            break;
        }
    }

    std::vector<double> weighted(probabilities.size(), 0.0);
    for (std::size_t r = 0; r < k; ++r) {
        const double value = records[r].p / e - records[r].f;
        if (value < 0.0 || std::isnan(value)) {
            return probabilities;
        }
        weighted[records[r].index] = value;
    }
    return weighted;
}

void ApplyProbabilityFloor(std::vector<double>& probabilities, double floor) {
    std::size_t below = 0;
    for (double q : probabilities) {
        if (q < floor) {
            ++below;
        }
    }
    if (below == 0) {
        return;
    }
    const double share = floor / static_cast<double>(below);
    double increase = 0.0;
    for (double& q : probabilities) {
        if (q < floor) {
            const double raised = std::min(floor, q + share);
            increase += raised - q;
            q = raised;
        }
    }
    for (double& q : probabilities) {
        q /= 1.0 + increase;
    }
}

AliasTable::AliasTable(const std::vector<double>& probabilities)
    : probability_(probabilities.size(), 1.0), alias_(probabilities.size()) {
    const std::size_t n = probabilities.size();
    for (std::size_t i = 0; i < n; ++i) {
        alias_[i] = i;
    }
    double sum = 0.0;
    for (double p : probabilities) {
        sum += p;
    }
    if (!(sum > 0.0) || !std::isfinite(sum)) {
        return;  // nothing to weigh by: every entry keeps itself, a uniform draw
    }
    std::vector<double> scaled(n);
    std::deque<std::size_t> small;
    std::deque<std::size_t> large;
    for (std::size_t i = 0; i < n; ++i) {
        scaled[i] = probabilities[i] * static_cast<double>(n) / sum;
        (scaled[i] < 1.0 ? small : large).push_back(i);
    }
    while (!small.empty() && !large.empty()) {
        const std::size_t s = small.front();
        small.pop_front();
        const std::size_t l = large.front();
        probability_[s] = scaled[s];
        alias_[s] = l;
        scaled[l] -= 1.0 - scaled[s];
        if (scaled[l] < 1.0) {
            large.pop_front();
            small.push_front(l);
        }
    }
    // Entries left over hold probability 1 (their own index as alias) from
    // the initialisation above.
}

std::size_t AliasTable::Draw(SelectionGenerator& generator) const {
    if (probability_.empty()) {
        throw std::logic_error("AliasTable::Draw called on an empty table");
    }
    const double u = UniformReal(generator);
    const std::size_t j = UniformInt(generator, static_cast<std::uint32_t>(probability_.size() - 1));
    return probability_[j] > u ? j : alias_[j];
}

}  // namespace tvl
