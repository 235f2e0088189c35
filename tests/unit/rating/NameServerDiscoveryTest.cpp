// Finding the name servers the system uses: the walk over the interfaces, the
// splitting of server values, and the resolver-file backend.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/SystemConfig.h"
#include "rating/NameServerDiscovery.h"
#include "support/TempDirectory.h"

namespace {

using Strings = std::vector<std::string>;
using platform::SystemConfigReader;

// A configuration held in memory. A subkey listed as nullopt cannot have its
// name read; a subkey name without a node of its own cannot be opened.
class FakeConfigReader : public SystemConfigReader {
  public:
    struct Node {
        std::vector<std::optional<std::string>> subkeys;
        std::map<std::string, std::string> values;
    };

    Node& node(const std::string& path) { return m_nodes[path]; }

    // Adds an interface under the interfaces key, with the values given.
    void addInterface(const std::string& name, std::map<std::string, std::string> values) {
        node(std::string(platform::kTcpipInterfacesKey)).subkeys.push_back(name);
        node(std::string(platform::kTcpipInterfacesKey) + "\\" + name).values = std::move(values);
    }

    std::optional<Key> openKey(std::string_view path) const override {
        if (m_nodes.count(std::string(path)) == 0) {
            return std::nullopt;
        }
        return Key{std::string(path)};
    }
    int subkeyCount(const Key& key) const override {
        return static_cast<int>(m_nodes.at(key.path).subkeys.size());
    }

  protected:
    std::optional<std::string> readSubkeyName(const Key& key, int index) const override {
        const auto& subkeys = m_nodes.at(key.path).subkeys;
        if (index >= static_cast<int>(subkeys.size())) {
            return std::nullopt;
        }
        return subkeys[static_cast<std::size_t>(index)];
    }
    std::optional<std::string> readValue(const Key& key, std::string_view name) const override {
        const auto& values = m_nodes.at(key.path).values;
        const auto found = values.find(std::string(name));
        if (found == values.end()) {
            return std::nullopt;
        }
        return found->second;
    }

  private:
    std::map<std::string, Node> m_nodes;
};

Strings discoverServers(const SystemConfigReader& reader) {
    NameServerDiscovery discovery(reader);
    discovery.discover();
    return discovery.servers();
}

// --- the walk over a configuration ---

TEST(NameServerDiscoveryTest, DhcpServersComeBeforeStaticOnesOfEachInterface) {
    FakeConfigReader reader;
    reader.addInterface("{A}", {{"DhcpNameServer", "10.0.0.1,10.0.0.2"},
                                {"NameServer", "192.168.1.1,192.168.1.2"}});
    reader.addInterface("{B}", {{"NameServer", "172.16.0.1"}});
    reader.addInterface("{C}", {{"DhcpNameServer", "10.9.9.9"}});

    NameServerDiscovery discovery(reader);
    discovery.discover();
    EXPECT_EQ(discovery.interfaceNames(), (Strings{"{A}", "{B}", "{C}"}));
    EXPECT_EQ(discovery.servers(), (Strings{"10.0.0.1", "10.0.0.2", "192.168.1.1", "192.168.1.2",
                                            "172.16.0.1", "10.9.9.9"}));
}

TEST(NameServerDiscoveryTest, ValuesAreCutAtEveryCommaAndNothingElse) {
    struct Case {
        std::string value;
        Strings pieces;
    };
    const Case cases[] = {
        {"10.0.0.1 10.0.0.2", {"10.0.0.1 10.0.0.2"}},
        {"10.0.0.1,", {"10.0.0.1", ""}},
        {",10.0.0.1,,10.0.0.2", {"", "10.0.0.1", "", "10.0.0.2"}},
        {" 10.0.0.1 , 10.0.0.2", {" 10.0.0.1 ", " 10.0.0.2"}},
        {",", {"", ""}},
        {"fe80::1", {"fe80::1"}},
        {"", {}},
        {std::string("10.0.0.1\0,junk", 14), {"10.0.0.1"}},
        {std::string("\0"
                     "10.0.0.1",
                     9),
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        FakeConfigReader reader;
        reader.addInterface("eth0", {{"NameServer", c.value}});
        EXPECT_EQ(discoverServers(reader), c.pieces);
    }
}

TEST(NameServerDiscoveryTest, ValueMustFitEightyBytesWithItsNul) {
    const std::string fits = "10.0.0.1," + std::string(79 - 9, 'x');
    const std::string tooLong = "10.0.0.2," + std::string(80 - 9, 'y');
    ASSERT_EQ(fits.size(), 79u);
    ASSERT_EQ(tooLong.size(), 80u);

    FakeConfigReader reader;
    reader.addInterface("a", {{"DhcpNameServer", tooLong}, {"NameServer", "10.0.0.3"}});
    reader.addInterface("b", {{"DhcpNameServer", fits}, {"NameServer", tooLong + tooLong}});
    EXPECT_EQ(discoverServers(reader), (Strings{"10.0.0.3", "10.0.0.1", std::string(79 - 9, 'x')}));
}

TEST(NameServerDiscoveryTest, SameServerOnTwoInterfacesIsListedTwice) {
    FakeConfigReader reader;
    reader.addInterface("wlan0", {{"NameServer", "9.9.9.9"}});
    reader.addInterface("eth0", {{"DhcpNameServer", "9.9.9.9"}, {"NameServer", "9.9.9.9"}});
    EXPECT_EQ(discoverServers(reader), (Strings{"9.9.9.9", "9.9.9.9", "9.9.9.9"}));
}

TEST(NameServerDiscoveryTest, WithoutTheInterfacesKeyNothingIsFound) {
    FakeConfigReader reader;
    reader.node("System\\CurrentControlSet\\Services\\tcpip\\Parameters\\Other").values = {
        {"NameServer", "10.0.0.1"}};
    NameServerDiscovery discovery(reader);
    discovery.discover();
    EXPECT_TRUE(discovery.servers().empty());
    EXPECT_TRUE(discovery.interfaceNames().empty());
}

TEST(NameServerDiscoveryTest, UnreadableSubkeysAndUnopenableInterfacesAreSkipped) {
    FakeConfigReader reader;
    reader.addInterface("first", {{"NameServer", "10.0.0.1"}});
    auto& subkeys = reader.node(std::string(platform::kTcpipInterfacesKey)).subkeys;
    subkeys.push_back(std::nullopt);
    subkeys.push_back(std::string(256, 'n'));  // longer than any subkey name can be
    subkeys.push_back("listed but absent");
    const std::string longest(255, 'm');
    reader.addInterface(longest, {{"NameServer", "10.0.0.2"}});

    NameServerDiscovery discovery(reader);
    discovery.discover();
    EXPECT_EQ(discovery.interfaceNames(), (Strings{"first", "listed but absent", longest}));
    EXPECT_EQ(discovery.servers(), (Strings{"10.0.0.1", "10.0.0.2"}));
}

TEST(NameServerDiscoveryTest, EachDiscoveryStartsAfresh) {
    FakeConfigReader reader;
    reader.addInterface("eth0", {{"NameServer", "10.0.0.1"}});
    NameServerDiscovery discovery(reader);
    discovery.discover();
    discovery.discover();
    EXPECT_EQ(discovery.servers(), (Strings{"10.0.0.1"}));
    EXPECT_EQ(discovery.interfaceNames(), (Strings{"eth0"}));
}

// --- the resolver file as a configuration ---

TEST(ResolvConfTest, NameserverLinesAreJoinedInFileOrder) {
    struct Case {
        std::string text;
        std::string joined;
    };
    const Case cases[] = {
        {"nameserver 10.0.0.1\nnameserver 10.0.0.2\n", "10.0.0.1,10.0.0.2"},
        {"# nameserver 1.1.1.1\n; nameserver 2.2.2.2\nnameserver 3.3.3.3", "3.3.3.3"},
        {"\tnameserver\t2001:db8::1  # home router\r\nnameserver ::1\n", "2001:db8::1,::1"},
        {"nameserver 10.0.0.1#note\nnameserver 10.0.0.2;note\n", "10.0.0.1,10.0.0.2"},
        {"search example.org\noptions edns0\ndomain example.org\n", ""},
        {"nameserver\nnameserver \nnameservers 1.2.3.4\nNAMESERVER 5.6.7.8\n", ""},
        {"nameserver fe80::1%eth0\n", "fe80::1%eth0"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(platform::joinResolvConfNameServers(c.text), c.joined);
    }
}

TEST(ResolvConfTest, FilePresentsOneInterfaceWithItsNameServers) {
    TempDirectory directory;
    writeWholeFile("resolv.conf",
                   "# generated\nsearch lan\nnameserver 192.168.0.1\n"
                   "nameserver 2001:db8::53\noptions rotate\nnameserver 192.168.0.1\n");
    platform::ResolvConfReader reader(directory.path() + "/resolv.conf");

    NameServerDiscovery discovery(reader);
    discovery.discover();
    EXPECT_EQ(discovery.interfaceNames(), (Strings{"resolv.conf"}));
    EXPECT_EQ(discovery.servers(), (Strings{"192.168.0.1", "2001:db8::53", "192.168.0.1"}));

    // Key paths do not depend on letter case; there is no DHCP value.
    const auto key = reader.openKey(
        "SYSTEM\\currentcontrolset\\services\\TCPIP\\parameters\\interfaces\\RESOLV.CONF");
    ASSERT_TRUE(key.has_value());
    platform::ConfigValueBuffer buffer{};
    EXPECT_TRUE(reader.queryValue(*key, "nameserver", buffer));
    EXPECT_FALSE(reader.queryValue(*key, "DhcpNameServer", buffer));
    EXPECT_FALSE(reader.openKey(std::string(platform::kTcpipInterfacesKey) + "\\other.conf"));
}

TEST(ResolvConfTest, MissingFileGivesAnInterfacesKeyWithoutSubkeys) {
    TempDirectory directory;
    platform::ResolvConfReader reader(directory.path() + "/absent.conf");
    const auto interfaces = reader.openKey(platform::kTcpipInterfacesKey);
    ASSERT_TRUE(interfaces.has_value());
    EXPECT_EQ(reader.subkeyCount(*interfaces), 0);
    EXPECT_FALSE(reader.subkeyName(*interfaces, 0).has_value());
    EXPECT_TRUE(discoverServers(reader).empty());

    // A directory where the file should be reads as no file at all.
    platform::ResolvConfReader onDirectory(directory.path());
    EXPECT_TRUE(discoverServers(onDirectory).empty());
}

TEST(ResolvConfTest, FileWithoutNameserversListsTheInterfaceOnly) {
    TempDirectory directory;
    writeWholeFile("resolv.conf", "search example.org\n");
    platform::ResolvConfReader reader(directory.path() + "/resolv.conf");
    NameServerDiscovery discovery(reader);
    discovery.discover();
    EXPECT_EQ(discovery.interfaceNames(), (Strings{"resolv.conf"}));
    EXPECT_TRUE(discovery.servers().empty());
}

TEST(ResolvConfTest, TooManyServersForOneValueAreSkippedTogether) {
    TempDirectory directory;
    writeWholeFile("resolv.conf",
                   "nameserver 2001:db8:aaaa:bbbb:cccc:dddd:eeee:0001\n"
                   "nameserver 2001:db8:aaaa:bbbb:cccc:dddd:eeee:0002\n"
                   "nameserver 2001:db8:aaaa:bbbb:cccc:dddd:eeee:0003\n");
    platform::ResolvConfReader reader(directory.path() + "/resolv.conf");
    EXPECT_TRUE(discoverServers(reader).empty());
}

TEST(ResolvConfTest, ReadingStopsAtTheCapWithoutHalfLines) {
    TempDirectory directory;
    const std::size_t cap = platform::ResolvConfReader::kMaxFileBytes;
    const std::string first = "nameserver 10.0.0.1\n";
    // The second server line begins 15 bytes before the cap, so the cap falls
    // inside its address ("nameserver 10.0" would be read).
    const std::string filler = "#" + std::string(cap - 15 - first.size() - 2, '-') + "\n";
    const std::string text = first + filler + "nameserver 10.0.0.22\nnameserver 10.0.0.3\n";
    ASSERT_EQ((first + filler).size(), cap - 15);
    writeWholeFile("resolv.conf", text);
    platform::ResolvConfReader reader(directory.path() + "/resolv.conf");
    EXPECT_EQ(discoverServers(reader), (Strings{"10.0.0.1"}));
}

}  // namespace
