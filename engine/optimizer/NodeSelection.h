#pragma once

// The arithmetic of choosing a node by bet: the random-number rules, the
// simulation of which candidate would be fastest, the bend towards the node
// list's weights, the probability floor and the alias-table draw. The exact
// sequence of generator outputs each step consumes is fixed, so that a seeded
// generator reproduces a choice. Pure functions over the caller's generator;
// not thread-safe on a shared generator.

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace tvl {

using SelectionGenerator = std::mt19937;

// One generator output divided by 2^32: a value in [0, 1).
double UniformReal(SelectionGenerator& generator);

// A value in [0, r], r < 2^32 - 1, by equal buckets of the 32-bit output
// range; outputs that fall in the incomplete last bucket are drawn again.
std::uint32_t UniformInt(SelectionGenerator& generator, std::uint32_t r);

// Normal draws by Box-Muller pairs: the first draw of a pair consumes two
// uniform reals, the second reuses them.
class NormalSampler {
  public:
    NormalSampler(double mean, double standardDeviation) : mean_(mean), sd_(standardDeviation) {}
    double operator()(SelectionGenerator& generator);

  private:
    double mean_;
    double sd_;
    double rho_ = 0.0;
    double u1_ = 0.0;
    bool stored_ = false;
};

// (mean, variance) of each candidate's speed in bytes per second.
using SpeedDistributions = std::vector<std::pair<double, double>>;

// Number of simulated races for n candidates: min(maxTrials / n,
// trialsPerNode * n); 0 for no candidates.
std::uint32_t SimulationTrials(std::size_t n, std::uint32_t trialsPerNode, std::uint32_t maxTrials);

// Probability of each candidate being the fastest, by `trials` simulated races.
// Every candidate starts with one win, so none gets probability 0; a race in
// which nobody draws above 0 goes to candidate 0.
std::vector<double> SimulateFastest(const SpeedDistributions& distributions, std::uint32_t trials,
                                    SelectionGenerator& generator);

// Bends the probabilities towards the weights: the heavier a node relative to
// the heaviest, the more of the bet it keeps. Returns the probabilities
// unchanged when the bend would make any of them negative.
std::vector<double> WeightProbabilities(const std::vector<double>& probabilities,
                                        const std::vector<std::uint32_t>& weights);

// Raises every probability below `floor` towards it and renormalises by the
// total increase.
void ApplyProbabilityFloor(std::vector<double>& probabilities, double floor);

// Vose's alias table over unnormalised probabilities (which must have a
// positive, finite sum).
class AliasTable {
  public:
    explicit AliasTable(const std::vector<double>& probabilities);

    // One uniform real, then one uniform integer below the size.
    std::size_t Draw(SelectionGenerator& generator) const;

    const std::vector<double>& Probabilities() const { return probability_; }
    const std::vector<std::size_t>& Aliases() const { return alias_; }

  private:
    std::vector<double> probability_;
    std::vector<std::size_t> alias_;
};

}  // namespace tvl
