#include "engine/optimizer/NodeSelection.h"

#include <gtest/gtest.h>

#include <boost/random/uniform_int_distribution.hpp>
#include <boost/random/uniform_real_distribution.hpp>
#include <cmath>
#include <numeric>

namespace tvl {
namespace {

// The distribution a table draws from: each slot gives its own index with its
// probability and its alias with the rest, each slot chosen 1/n of the time.
std::vector<double> ImpliedDistribution(const AliasTable& table) {
    const auto& probability = table.Probabilities();
    const auto& alias = table.Aliases();
    const std::size_t n = probability.size();
    std::vector<double> result(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        result[i] += probability[i] / n;
        result[alias[i]] += (1.0 - probability[i]) / n;
    }
    return result;
}

double Sum(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0);
}

TEST(SelectionRandom, UniformDrawsMatchTheBucketAndDivisionRules) {
    // Boost's integer and real distributions use the same two rules over a
    // 32-bit engine, so the two must agree output for output (except for
    // r = 0, where Boost takes no output at all).
    SelectionGenerator ours(12345);
    SelectionGenerator reference(12345);
    for (std::uint32_t r : {1u, 2u, 6u, 49u, 1000u, 0x7FFFFFFFu, 0xFFFFFFFDu}) {
        for (int i = 0; i < 200; ++i) {
            boost::random::uniform_int_distribution<std::uint32_t> distribution(0, r);
            ASSERT_EQ(UniformInt(ours, r), distribution(reference)) << "r=" << r;
        }
    }
    for (int i = 0; i < 200; ++i) {
        boost::random::uniform_real_distribution<double> distribution(0.0, 1.0);
        const double u = UniformReal(ours);
        ASSERT_DOUBLE_EQ(u, distribution(reference));
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
}

TEST(SelectionRandom, UniformIntOfZeroTakesOneOutput) {
    SelectionGenerator ours(7);
    SelectionGenerator reference(7);
    EXPECT_EQ(UniformInt(ours, 0), 0u);
    reference.discard(1);
    EXPECT_EQ(ours(), reference());
}

TEST(SelectionRandom, BoxMullerDrawsComeInPairsOfOneRadius) {
    SelectionGenerator generator(99);
    SelectionGenerator reference(99);
    NormalSampler sampler(10.0, 2.0);
    const double first = sampler(generator);
    const double second = sampler(generator);
    // Both draws of a pair lie on the circle of radius rho = sqrt(-2 ln(1 - u2)).
    reference.discard(1);
    const double u2 = static_cast<double>(reference()) / 4294967296.0;
    const double rho = std::sqrt(-2.0 * std::log(1.0 - u2));
    const double a = (first - 10.0) / 2.0;
    const double b = (second - 10.0) / 2.0;
    EXPECT_NEAR(a * a + b * b, rho * rho, 1e-9);
    // The pair used two outputs; the next draw starts a new pair.
    EXPECT_EQ(generator(), reference());
}

TEST(SelectionRandom, NormalDrawsHaveTheGivenMeanAndDeviation) {
    SelectionGenerator generator(2024);
    NormalSampler sampler(5.0, 3.0);
    const int n = 40000;
    double sum = 0.0;
    double squares = 0.0;
    for (int i = 0; i < n; ++i) {
        const double x = sampler(generator);
        sum += x;
        squares += x * x;
    }
    const double mean = sum / n;
    EXPECT_NEAR(mean, 5.0, 0.05);
    EXPECT_NEAR(std::sqrt(squares / n - mean * mean), 3.0, 0.05);
}

TEST(Simulation, TrialsStayWithinTheBudget) {
    EXPECT_EQ(SimulationTrials(2, 50, 10000), 100u);
    EXPECT_EQ(SimulationTrials(10, 50, 10000), 500u);
    EXPECT_EQ(SimulationTrials(15, 50, 10000), 666u);
    EXPECT_EQ(SimulationTrials(50, 50, 10000), 200u);
    EXPECT_EQ(SimulationTrials(0, 50, 10000), 0u);
    // trialsPerNode * n must not wrap.
    EXPECT_EQ(SimulationTrials(4, 0x80000000u, 0xFFFFFFFFu), 0xFFFFFFFFu / 4);
}

TEST(Simulation, AllZeroStatisticsGiveEveryTrialToTheFirstCandidate) {
    SelectionGenerator generator(1);
    const auto p = SimulateFastest({{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}}, 150, generator);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_DOUBLE_EQ(p[0], 151.0 / 153.0);
    EXPECT_DOUBLE_EQ(p[1], 1.0 / 153.0);
    EXPECT_DOUBLE_EQ(p[2], 1.0 / 153.0);
}

TEST(Simulation, TheClearlyFastestWinsAndNobodyDropsToZero) {
    SelectionGenerator generator(3);
    const auto p = SimulateFastest({{1000.0, 100.0}, {1e6, 1e4}, {5000.0, 1e4}}, 300, generator);
    EXPECT_DOUBLE_EQ(p[1], 301.0 / 303.0);
    EXPECT_DOUBLE_EQ(p[0], 1.0 / 303.0);
    EXPECT_NEAR(Sum(p), 1.0, 1e-12);
}

TEST(Simulation, EqualNodesShareTheWins) {
    SelectionGenerator generator(5);
    const auto p = SimulateFastest({{1e6, 1e10}, {1e6, 1e10}}, 4000, generator);
    EXPECT_NEAR(p[0], 0.5, 0.03);
    EXPECT_NEAR(p[1], 0.5, 0.03);
}

TEST(Weighting, EqualOrZeroWeightsLeaveTheProbabilities) {
    const std::vector<double> p{0.6, 0.3, 0.1};
    for (const auto& weights : {std::vector<std::uint32_t>{5, 5, 5}, std::vector<std::uint32_t>{0, 0, 0}}) {
        const auto w = WeightProbabilities(p, weights);
        ASSERT_EQ(w.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_NEAR(w[i], p[i], 1e-12);
        }
    }
}

TEST(Weighting, HeavierNodesKeepMoreOfTheBet) {
    // Worked by hand: ratios 0 and 1, keys inf and 1, both records taken,
    // e = 1 / 1.5.
    const auto w = WeightProbabilities({0.5, 0.5}, {2, 1});
    EXPECT_NEAR(w[0], 0.75, 1e-12);
    EXPECT_NEAR(w[1], 0.25, 1e-12);
    // The order of candidates does not matter.
    const auto swapped = WeightProbabilities({0.5, 0.5}, {1, 2});
    EXPECT_NEAR(swapped[0], 0.25, 1e-12);
    EXPECT_NEAR(swapped[1], 0.75, 1e-12);
}

TEST(Weighting, AMuchLighterNodeCanLoseItsWholeShare) {
    // Ratio 3 gives key 1/3 < e = 0.5: only the heavy node stays in the bet.
    const auto w = WeightProbabilities({0.5, 0.5}, {4, 1});
    EXPECT_DOUBLE_EQ(w[0], 1.0);
    EXPECT_DOUBLE_EQ(w[1], 0.0);
    const auto zero = WeightProbabilities({0.5, 0.5}, {1, 0});
    EXPECT_DOUBLE_EQ(zero[0], 1.0);
    EXPECT_DOUBLE_EQ(zero[1], 0.0);
}

TEST(Weighting, ResultIsADistribution) {
    SelectionGenerator generator(11);
    for (int round = 0; round < 200; ++round) {
        const std::size_t n = 2 + UniformInt(generator, 8);
        std::vector<double> p(n);
        std::vector<std::uint32_t> weights(n);
        for (std::size_t i = 0; i < n; ++i) {
            p[i] = 0.01 + UniformReal(generator);
            weights[i] = UniformInt(generator, 100);
        }
        const double total = Sum(p);
        for (double& x : p) {
            x /= total;
        }
        const auto w = WeightProbabilities(p, weights);
        EXPECT_NEAR(Sum(w), 1.0, 1e-9) << "round " << round;
        for (double x : w) {
            EXPECT_GE(x, 0.0);
        }
    }
}

TEST(Floor, RaisesLowProbabilitiesAndRenormalises) {
    std::vector<double> p{0.9, 0.08, 0.02};
    ApplyProbabilityFloor(p, 0.05);
    // 0.02 rises by 0.03 to the floor; everything shrinks by 1.03.
    EXPECT_NEAR(p[0], 0.9 / 1.03, 1e-12);
    EXPECT_NEAR(p[1], 0.08 / 1.03, 1e-12);
    EXPECT_NEAR(p[2], 0.05 / 1.03, 1e-12);

    std::vector<double> two{0.98, 0.01, 0.01};
    ApplyProbabilityFloor(two, 0.05);
    // Each of the two gets half the floor on top: 0.035, not yet the floor.
    EXPECT_NEAR(two[1], 0.035 / 1.05, 1e-12);
    EXPECT_NEAR(two[2], 0.035 / 1.05, 1e-12);
    EXPECT_NEAR(Sum(two), 1.0, 1e-12);

    std::vector<double> none{0.5, 0.3, 0.2};
    ApplyProbabilityFloor(none, 0.05);
    EXPECT_EQ(none, (std::vector<double>{0.5, 0.3, 0.2}));

    std::vector<double> zero{1.0, 0.0};
    ApplyProbabilityFloor(zero, 0.05);
    EXPECT_NEAR(zero[1], 0.05 / 1.05, 1e-12);
    EXPECT_GT(zero[1], 0.045);
}

TEST(AliasTable, PairsSmallEntriesWithTheFrontLargeOne) {
    // Worked by hand: slot 0 drops below 1 after paying for slots 2 and 3 and
    // then borrows from slot 1.
    const AliasTable table({0.4, 0.4, 0.1, 0.1});
    const std::vector<double> probability{0.4, 1.0, 0.4, 0.4};
    const std::vector<std::size_t> alias{1, 1, 0, 0};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(table.Probabilities()[i], probability[i], 1e-12) << i;
        EXPECT_EQ(table.Aliases()[i], alias[i]) << i;
    }
}

TEST(AliasTable, ReproducesAnyDistribution) {
    SelectionGenerator generator(17);
    for (int round = 0; round < 100; ++round) {
        const std::size_t n = 1 + UniformInt(generator, 20);
        std::vector<double> p(n);
        for (double& x : p) {
            x = UniformReal(generator) * (UniformInt(generator, 3) == 0 ? 0.0 : 1.0);
        }
        p[0] += 0.01;
        const double total = Sum(p);
        const auto implied = ImpliedDistribution(AliasTable(p));
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_NEAR(implied[i], p[i] / total, 1e-9) << "round " << round << " slot " << i;
        }
    }
}

TEST(AliasTable, DrawFrequenciesFollowTheProbabilities) {
    SelectionGenerator generator(23);
    const AliasTable table({0.5, 0.25, 0.25, 0.0});
    std::vector<int> counts(4, 0);
    const int draws = 40000;
    for (int i = 0; i < draws; ++i) {
        ++counts[table.Draw(generator)];
    }
    EXPECT_NEAR(counts[0] / double(draws), 0.5, 0.015);
    EXPECT_NEAR(counts[1] / double(draws), 0.25, 0.015);
    EXPECT_NEAR(counts[2] / double(draws), 0.25, 0.015);
    EXPECT_EQ(counts[3], 0);
}

TEST(AliasTable, WithoutWeightDrawsUniformlyAndEmptyRefuses) {
    const AliasTable zeros({0.0, 0.0});
    EXPECT_EQ(zeros.Probabilities(), (std::vector<double>{1.0, 1.0}));
    SelectionGenerator generator(1);
    EXPECT_THROW(AliasTable({}).Draw(generator), std::logic_error);
}

}  // namespace
}  // namespace tvl
