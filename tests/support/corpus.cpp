#include "support/corpus.h"

#include <fstream>
#include <sstream>

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

}  // namespace

std::string CorpusDir(const std::string& sharedDir) {
    std::string dir = sharedDir + "/corpus";
    return std::ifstream(dir + "/MANIFEST.tsv").good() ? dir : std::string();
}

std::vector<CorpusArchive> LoadCorpus(const std::string& sharedDir) {
    std::vector<CorpusArchive> archives;
    std::string dir = CorpusDir(sharedDir);
    if (dir.empty()) return archives;
    std::ifstream manifest(dir + "/MANIFEST.tsv");
    std::string line;
    std::getline(manifest, line);  // column names
    std::vector<std::string> columns = Split(line, '\t');
    auto column = [&](const char* name) {
        for (size_t i = 0; i < columns.size(); i++)
            if (columns[i] == name) return i;
        return columns.size();
    };
    const size_t file = column("file"), entries = column("entries"), methods = column("methods"),
                 flags = column("flags"), sizes = column("sizes"), csizes = column("csizes"), crcs = column("crc32");
    while (std::getline(manifest, line)) {
        std::vector<std::string> f = Split(line, '\t');
        if (f.size() < columns.size() - 1 || f[file].empty()) continue;
        CorpusArchive a;
        a.Path = dir + "/" + f[file];
        std::vector<std::string> names = Split(f[entries], ';'), m = Split(f[methods], ';'),
                                 fl = Split(f[flags], ';'), s = Split(f[sizes], ';'), cs = Split(f[csizes], ';'),
                                 c = Split(f[crcs], ';');
        for (size_t i = 0; i < names.size(); i++) {
            CorpusEntry e;
            e.Name = names[i];
            e.Method = std::stoi(m.at(i));
            e.Flags = static_cast<uint16_t>(std::stoul(fl.at(i), nullptr, 16));
            e.Size = std::stoll(s.at(i));
            e.CompressedSize = std::stoll(cs.at(i));
            e.Crc = static_cast<uint32_t>(std::stoul(c.at(i), nullptr, 16));
            a.Entries.push_back(e);
        }
        archives.push_back(a);
    }
    return archives;
}
