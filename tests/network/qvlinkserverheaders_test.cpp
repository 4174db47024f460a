// The link server's intake without sockets: the identification line matched
// at its fixed places, gathered across any split, dropped at its deadline, and
// the pairing table, whose duplicate halves leave no entry behind.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network/qvlinkserverheaders.h"

namespace {

using namespace Quorvane;

const std::string kId = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

std::string Line(const std::string& kind, const std::string& id = kId) {
  return "id=" + id + " connection=" + kind;
}

struct MatchCase {
  const char* name;
  std::string line;
  bool matches;
  QVConnectionKind kind;
};

std::string With(std::string line, size_t at, char byte) {
  line[at] = byte;
  return line;
}

class IdentificationMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(IdentificationMatch, FixedPlacesDecide) {
  const MatchCase& c = GetParam();
  ASSERT_EQ(c.line.size(), kIdentificationLineSize);
  std::optional<QVIdentity> identity = QVMatchIdentificationLine(c.line.data());
  ASSERT_EQ(identity.has_value(), c.matches);
  if (!c.matches) return;
  EXPECT_EQ(ToStdString(identity->id), c.line.substr(3, 36));
  EXPECT_EQ(identity->kind, c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, IdentificationMatch,
    ::testing::Values(MatchCase{"data", Line("data"), true, QVConnectionKind::data},
                      MatchCase{"mesg", Line("mesg"), true, QVConnectionKind::mesg},
                      MatchCase{"separators_any", With(With(With(Line("data"), 2, '\x01'), 39, '\xff'), 50, '#'),
                                true, QVConnectionKind::data},
                      MatchCase{"id_any_text", Line("mesg", std::string(36, 'z')), true, QVConnectionKind::mesg},
                      MatchCase{"capitals", Line("DATA"), false, QVConnectionKind::data},
                      MatchCase{"other_kind", Line("meta"), false, QVConnectionKind::data},
                      MatchCase{"connection_typo", With(Line("data"), 49, 'm'), false, QVConnectionKind::data},
                      MatchCase{"id_typo", With(Line("data"), 1, 'D'), false, QVConnectionKind::data},
                      MatchCase{"nul_after_id", With(Line("data"), 2, '\0'), false, QVConnectionKind::data},
                      MatchCase{"nul_in_id", With(Line("data"), 20, '\0'), false, QVConnectionKind::data},
                      MatchCase{"nul_last", With(Line("data"), 54, '\0'), false, QVConnectionKind::data}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(IdentificationLine, GathersAcrossEverySplitAndAsksOnlyForWhatIsOwed) {
  const std::string wire = Line("mesg") + "FOLLOWING";  // the link's own bytes come next
  for (size_t first = 1; first < kIdentificationLineSize; ++first) {
    QVIdentificationLine line;
    size_t at = 0;
    for (size_t piece : {first, size_t{1}, size_t{200}}) {
      if (line.CompleteQ()) break;
      const size_t count = std::min(piece, line.Missing());
      std::memcpy(line.Tail(), wire.data() + at, count);
      line.Took(count);
      at += count;
    }
    ASSERT_TRUE(line.CompleteQ()) << first;
    EXPECT_EQ(at, kIdentificationLineSize) << first;
    ASSERT_TRUE(line.Match().has_value()) << first;
    EXPECT_EQ(line.Match()->kind, QVConnectionKind::mesg);
  }
  QVIdentificationLine partial;
  partial.Took(54);
  EXPECT_FALSE(partial.Match().has_value());
}

TEST(HeaderIntake, EachConnectionHasItsOwnDeadline) {
  QVHeaderIntake<int> intake(std::chrono::seconds(5));
  const auto start = QVIntakeClock::now();
  intake.Add(1, start);
  intake.Add(2, start + std::chrono::seconds(3));
  EXPECT_EQ(intake.NextDeadline(), start + std::chrono::seconds(5));
  std::vector<int> closed;
  intake.Expire(start + std::chrono::seconds(6), [&](int c) { closed.push_back(c); });
  EXPECT_EQ(closed, std::vector<int>{1});
  ASSERT_EQ(intake.size(), 1u);
  EXPECT_EQ(intake[0].connection, 2);
  intake.Expire(start + std::chrono::seconds(8), [&](int c) { closed.push_back(c); });
  EXPECT_EQ(closed, (std::vector<int>{1, 2}));
  EXPECT_FALSE(intake.NextDeadline().has_value());
}

using Table = QVPairingTable<int>;

TEST(PairingTable, EitherOrderPairsAndEmptiesTheEntry) {
  for (bool dataFirst : {true, false}) {
    Table table;
    const QVString id = ToQVString(kId);
    auto first = table.Offer(id, dataFirst ? QVConnectionKind::data : QVConnectionKind::mesg, 1);
    EXPECT_EQ(first.kind, Table::Outcome::stored);
    EXPECT_EQ(table.Offer(ToQVString("other"), QVConnectionKind::data, 9).kind, Table::Outcome::stored);
    auto second = table.Offer(id, dataFirst ? QVConnectionKind::mesg : QVConnectionKind::data, 2);
    ASSERT_EQ(second.kind, Table::Outcome::paired);
    EXPECT_EQ(second.first, dataFirst ? 1 : 2);  // always the data half first
    EXPECT_EQ(second.second, dataFirst ? 2 : 1);
    EXPECT_EQ(table.size(), 1u);
  }
}

TEST(PairingTable, DuplicateHalfClosesBothAndLeavesNoEntry) {
  for (QVConnectionKind kind : {QVConnectionKind::data, QVConnectionKind::mesg}) {
    Table table;
    const QVString id = ToQVString(kId);
    table.Offer(id, kind, 1);
    auto duplicate = table.Offer(id, kind, 2);
    ASSERT_EQ(duplicate.kind, Table::Outcome::duplicate);
    EXPECT_EQ(duplicate.first, 1);
    EXPECT_EQ(duplicate.second, 2);
    EXPECT_EQ(table.size(), 0u);
    // The other half arriving later waits for a fresh partner instead of
    // pairing with a closed one.
    const QVConnectionKind other = kind == QVConnectionKind::data ? QVConnectionKind::mesg : QVConnectionKind::data;
    EXPECT_EQ(table.Offer(id, other, 3).kind, Table::Outcome::stored);
    auto paired = table.Offer(id, kind, 4);
    ASSERT_EQ(paired.kind, Table::Outcome::paired);
    EXPECT_EQ(paired.first + paired.second, 7);
  }
}

TEST(PairingTable, SettleClosesMalformedAndDrainClosesTheRest) {
  Table table;
  std::vector<int> closed;
  std::vector<std::pair<int, int>> pairs;
  auto close = [&](int c) { closed.push_back(c); };
  auto pair = [&](int d, int m) { pairs.emplace_back(d, m); };
  auto feed = [&](const std::string& text, int connection) {
    QVIdentificationLine line;
    std::memcpy(line.Tail(), text.data(), kIdentificationLineSize);
    line.Took(kIdentificationLineSize);
    QVSettleConnection(table, line, connection, close, pair);
  };
  feed(Line("DATA"), 1);
  feed(Line("mesg"), 2);
  feed(Line("data", std::string(36, 'B')), 3);
  feed(Line("data"), 4);
  EXPECT_EQ(closed, std::vector<int>{1});
  EXPECT_EQ(pairs, (std::vector<std::pair<int, int>>{{4, 2}}));
  table.Drain(close);
  EXPECT_EQ(closed, (std::vector<int>{1, 3}));
  EXPECT_EQ(table.size(), 0u);
}

}  // namespace
