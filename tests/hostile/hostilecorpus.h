// Reads the named hostile inputs from the fuzz corpora, so a test row and its corpus file can
// never drift apart.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace kestrel::hostile {

inline std::string Corpus(const std::string &target, const std::string &name)
{
    const std::filesystem::path path = std::filesystem::path(KESTREL_CORPUS_DIR) / target / name;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("missing corpus file " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The exception class and text of a failure, or "" when Fn returns normally.
template <typename Fn>
std::string ErrorOf(Fn fn)
{
    try {
        fn();
    } catch (const std::exception &e) {
        return e.what();
    }
    return {};
}

} // namespace kestrel::hostile
