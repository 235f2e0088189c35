#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The key under which the network stack lists one subkey per interface, each
// of which may carry the name servers that interface uses.
inline constexpr std::string_view kTcpipInterfacesKey =
    "System\\CurrentControlSet\\Services\\tcpip\\Parameters\\Interfaces";
inline constexpr std::string_view kNameServerValue = "NameServer";
inline constexpr std::string_view kDhcpNameServerValue = "DhcpNameServer";

// Readers of the configuration hand values over in a buffer of this size; a
// value that does not fit with its terminating NUL is not read at all.
inline constexpr std::size_t kConfigValueBufferSize = 80;
using ConfigValueBuffer = std::array<char, kConfigValueBufferSize>;
// Longest subkey name a reader hands over; a longer one cannot be read.
inline constexpr std::size_t kMaxSubkeyNameLength = 255;

// Read-only access to the system's configuration, organised as a tree of keys
// named by backslash-separated paths, each with subkeys and named text values.
// Every call looks at the configuration afresh; nothing is held open between
// calls, so a Key is just the name of what was found. Implementations must be
// safe to call from any thread.
class SystemConfigReader {
  public:
    struct Key {
        std::string path;
    };

    virtual ~SystemConfigReader() = default;

    // nullopt when no key has that path.
    virtual std::optional<Key> openKey(std::string_view path) const = 0;
    // Number of subkeys directly below the key; 0 when it has none.
    virtual int subkeyCount(const Key& key) const = 0;

    // Name of the subkey at index, counted from 0; nullopt when the index is out
    // of range, the name cannot be read or it is longer than kMaxSubkeyNameLength.
    std::optional<std::string> subkeyName(const Key& key, int index) const;

    // Copies the value's text with a terminating NUL into buffer. False, with
    // buffer unspecified, when the value is missing or does not fit.
    bool queryValue(const Key& key, std::string_view name, ConfigValueBuffer& buffer) const;

  protected:
    // The limits above are enforced here once, so no backend can hand over more.
    virtual std::optional<std::string> readSubkeyName(const Key& key, int index) const = 0;
    virtual std::optional<std::string> readValue(const Key& key, std::string_view name) const = 0;
};

// The name servers of the local resolver, presented under kTcpipInterfacesKey:
// a readable resolver file is one subkey, named after the file, whose
// kNameServerValue joins the addresses of its `nameserver` lines with commas,
// as written and in file order. There is no kDhcpNameServerValue: the file
// already holds whatever a DHCP client put there. A missing or unreadable
// file leaves the interfaces key without subkeys.
class ResolvConfReader : public SystemConfigReader {
  public:
    // A resolver file is a few lines; anything beyond this is not read, so a
    // runaway file costs at most this much memory.
    static constexpr std::size_t kMaxFileBytes = 64 * 1024;

    explicit ResolvConfReader(std::string path = "/etc/resolv.conf");

    std::optional<Key> openKey(std::string_view path) const override;
    int subkeyCount(const Key& key) const override;

  protected:
    std::optional<std::string> readSubkeyName(const Key& key, int index) const override;
    std::optional<std::string> readValue(const Key& key, std::string_view name) const override;

  private:
    std::string interfaceName() const;
    std::string interfaceKeyPath() const;

    std::string m_path;
};

// The comma-joined addresses of the `nameserver` lines in a resolver file's
// text. Comment lines (starting with '#' or ';') and other directives are
// ignored; each address is the first word after the keyword.
std::string joinResolvConfNameServers(std::string_view text);

}  // namespace platform
