#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>

struct RequestContext;

// NAME=value entries kept in the order an environment block needs, laid out as
// that block.
class EnvironmentList {
public:
    // Inserts NAME=value before the first entry that compares greater; equal
    // entries keep the order in which they were added.
    void add_entry(std::string name, std::string value);

    // The block: each entry and a NUL, then one more NUL, in an allocation of
    // exactly block_size() bytes owned by the caller. Nothing when the memory
    // cannot be obtained.
    std::unique_ptr<char[]> build_block() const;

    // 2 plus, for each entry, its length plus 1.
    std::int32_t block_size() const { return block_size_; }

    const std::list<std::string>& entries() const { return entries_; }

private:
    std::list<std::string> entries_;
    std::int32_t block_size_ = 2;
};

// Compares two entries without regard to case, code page 932 double-byte
// characters as 16-bit values. Negative, zero or positive.
int compare_entries(std::string_view left, std::string_view right);

// The server-software text.
inline constexpr std::string_view server_software = "Tevrano-Brakka-WWWServer1.2";

// Adds the ten variables of a CGI run, in their order.
void collect_cgi_variables(RequestContext& context, EnvironmentList& list);
