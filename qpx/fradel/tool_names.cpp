// The names of the tool's own files beside its outputs (see tool_names.h).
#include "tool_names.h"

#include <csignal>

#include <openssl/evp.h>

#include "file_primitives.h"

namespace {

constexpr size_t kHashLetters = 16;

// FNV-1a: no allocation, so it can be computed in a signal handler.
uint64_t name_hash(const std::string& name) {
    uint64_t hash = 14695981039346656037ULL;
    for (const char c : name) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    return hash;
}

char* put_hex(uint64_t value, char* out) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < kHashLetters; ++i) {
        out[i] = kHex[(value >> (60 - 4 * i)) & 0x0F];
    }
    return out + kHashLetters;
}

bool ends_with_marked_id(const std::string& name, const char* marker, run_id& id) {
    const size_t marker_bytes = std::strlen(marker);
    if (name.size() <= marker_bytes + kRunIdLetters) {
        return false;
    }
    const size_t at = name.size() - kRunIdLetters - marker_bytes;
    if (name.compare(at, marker_bytes, marker) != 0 ||
        !is_run_id(name.data() + at + marker_bytes, kRunIdLetters)) {
        return false;
    }
    std::copy_n(name.data() + at + marker_bytes, kRunIdLetters, id.begin());
    return true;
}

}  // namespace

// Plain storage, drawn once before any stop handler is installed: a handler that reads it
// never meets a value still being made (a function-local static would be).
static run_id g_this_run{};
static volatile sig_atomic_t g_run_drawn = 0;

void draw_run_id() {
    if (g_run_drawn == 0) {
        fio::random_letters(g_this_run.data(), g_this_run.size());
        g_run_drawn = 1;
    }
}

bool run_id_drawn() {
    return g_run_drawn != 0;
}

const run_id& this_run() {
    draw_run_id();
    return g_this_run;
}

bool is_run_id(const char* letters, size_t count) {
    return count == kRunIdLetters && std::all_of(letters, letters + count, [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
           });
}

marked_name::marked_name(const std::string& name, const char* marker, const run_id& id) {
    const size_t marker_bytes = std::strlen(marker);
    const size_t room = kMostNameBytes - marker_bytes - kRunIdLetters;
    char* end = text_;
    if (fio::name_length(name) <= room) {
        end = std::copy_n(name.data(), name.size(), end);
    } else {
        const size_t kept =
            fio::name_prefix_within(name.data(), name.size(), room - kHashLetters - 1);
        end = std::copy_n(name.data(), kept, end);
        *end++ = '-';
        end = put_hex(name_hash(name), end);
    }
    end = std::copy_n(marker, marker_bytes, end);
    end = std::copy_n(id.data(), kRunIdLetters, end);
    *end = '\0';
}

marked_name run_file_name(const run_id& id) {
    return marked_name("", kRunFilePrefix, id);
}

std::string journal_name(const std::string& key_name) {
    // Room for the journal's own staged name beside it.
    const size_t room =
        kMostNameBytes - std::strlen(kStagedMarker) - kRunIdLetters - std::strlen(kJournalSuffix);
    if (fio::name_length(key_name) <= room) {
        return key_name + kJournalSuffix;
    }
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    EVP_Digest(key_name.data(), key_name.size(), digest, &length, EVP_sha256(), nullptr);
    uint64_t high = 0;
    uint64_t low = 0;
    for (size_t i = 0; i < 8; ++i) {
        high = (high << 8) | digest[i];
        low = (low << 8) | digest[8 + i];
    }
    std::string hex(2 * kHashLetters, '\0');
    put_hex(low, put_hex(high, hex.data()));
    const size_t kept =
        fio::name_prefix_within(key_name.data(), key_name.size(), room - hex.size() - 1);
    return key_name.substr(0, kept) + "-" + hex + kJournalSuffix;
}

bool run_of_leftover(const std::string& name, run_id& id, bool& is_run_file) {
    const size_t prefix = std::strlen(kRunFilePrefix);
    is_run_file = name.size() == prefix + kRunIdLetters &&
                  name.compare(0, prefix, kRunFilePrefix) == 0 &&
                  is_run_id(name.data() + prefix, kRunIdLetters);
    if (is_run_file) {
        std::copy_n(name.data() + prefix, kRunIdLetters, id.begin());
        return true;
    }
    return ends_with_marked_id(name, kStagedMarker, id) ||
           ends_with_marked_id(name, kPendingMarker, id);
}
