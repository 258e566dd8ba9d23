#include "load_alarms.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace kelvarix::alarmsim {
namespace {

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '|');) out.push_back(field);
    if (!line.empty() && line.back() == '|') out.emplace_back();
    return out;
}

TEST(LoadAlarms, IdsAndTagsStayDistinctWhileAShareRepeatsEarlierEvents) {
    std::string id;
    EXPECT_EQ(LoadAlarms("2001", 20, 0.0).next(id), "1|0|E1|A1|2001||Load alarm 1 .......|T1");
    LoadAlarms alarms("2001", 100, 0.25);
    std::set<std::string> ids, tags, events_seen;
    int repeats = 0;
    for (int n = 1; n <= 1000; ++n) {
        const auto f = fields(alarms.next(id));
        ASSERT_EQ(f.size(), 8u);
        EXPECT_EQ(f[3], id);
        EXPECT_EQ(f[6].size(), 100u);
        EXPECT_TRUE(ids.insert(f[3]).second);
        EXPECT_TRUE(tags.insert(f[7]).second);
        if (f[2] != "E" + std::to_string(n)) {
            ++repeats;
            EXPECT_TRUE(events_seen.count(f[2]))
                << "alarm " << n << " repeats an unraised " << f[2];
        }
        events_seen.insert(f[2]);
    }
    EXPECT_EQ(repeats, 250);
}

}  // namespace
}  // namespace kelvarix::alarmsim
