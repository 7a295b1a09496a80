// Fuzz target: the port setting file reader (GetIniFileComNo) fed arbitrary file contents.
//
// The input is written as TAMSEL.INI in a directory of the target's own, set as ProjectDir. The
// reported port must always be 1 to 4, the result must match the file format's reference reading
// below, nothing may be shown, and the file must be left exactly as it was.
#include "Tamsel.h"
#include "harness.h"
#include "runtime.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

enum {
    DEFAULT_PORT = 2,
    READ_PIECE = 254,       // one read takes at most this many characters
    READ_LIMIT = 64 * 1024, // the file is read as if it ended after this many bytes
};

char portFileDir[] = "/tmp/tamsel-fuzz-ini-XXXXXX";
std::string portFilePath;

void RemovePortFileDir(void) {
    remove(portFilePath.c_str());
    rmdir(portFileDir);
}

// One read of the file: a line, or a piece of a longer one.
struct Piece {
    std::string text; // up to the first NUL: what the reader sees of it as a text
    bool endMet;      // the read ran into the end of the file: the last piece, without a line end
};

std::vector<Piece> Pieces(const std::string &file) {
    std::vector<Piece> pieces;
    for (size_t at = 0; at < file.size();) {
        size_t end = std::min(at + READ_PIECE, file.size());
        const size_t lineFeed = file.find('\n', at);
        if (lineFeed != std::string::npos && lineFeed < end)
            end = lineFeed + 1;
        const std::string raw = file.substr(at, end - at);
        pieces.push_back({raw.substr(0, raw.find('\0')), end == file.size() && raw.back() != '\n'});
        at = end;
    }
    return pieces;
}

bool IsSection(const std::string &text) {
    const size_t begin = text.find_first_not_of("\r\n");
    return begin != std::string::npos &&
           text.substr(begin, text.find_first_of("\r\n", begin) - begin) == "[Port]";
}

// Base 10 after white space and one sign, up to the first non-digit; no digits gives 0.
bool InRange(const std::string &value, int *port) {
    size_t at = value.find_first_not_of(" \t\n\v\f\r");
    if (at == std::string::npos)
        return false;
    bool negative = false;
    if (value[at] == '+' || value[at] == '-')
        negative = value[at++] == '-';
    long number = 0;
    for (; at < value.size() && value[at] >= '0' && value[at] <= '9'; at++) {
        number = number * 10 + (value[at] - '0');
        if (number > 4)
            return false; // already out of range, and kept from overflowing
    }
    if (negative || number < 1)
        return false;
    *port = (int)number;
    return true;
}

// The file format's reading: 1 and the port, or 0 and the default.
int ReferenceReading(const std::string &file, int *port) {
    *port = DEFAULT_PORT;
    const std::vector<Piece> pieces = Pieces(file);
    size_t at = 0;
    while (at < pieces.size() && !IsSection(pieces[at].text))
        at++;
    if (at == pieces.size() || pieces[at].endMet)
        return 0;
    for (at++; at < pieces.size(); at++) {
        const std::string &line = pieces[at].text;
        const size_t key = line.find_first_not_of('=');
        const size_t equals = key == std::string::npos ? key : line.find('=', key);
        if (equals == std::string::npos)
            continue;
        const std::string value = line.substr(equals + 1);
        if (value.empty() || value[0] == '\n')
            continue;
        int number = 0;
        if (pieces[at].endMet || line.substr(key, equals - key) != "COMNO" ||
            !InRange(value, &number))
            return 0;
        *port = number;
        return 1;
    }
    return 0;
}

bool WriteFile(const std::string &bytes) {
    // A fresh file each time: ext4 pushes a file that was truncated and rewritten to the disk when
    // it is closed, which would cost milliseconds per input.
    remove(portFilePath.c_str());
    FILE *file = fopen(portFilePath.c_str(), "wb");
    if (!file)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

std::string ReadFile(void) {
    std::string bytes;
    FILE *file = fopen(portFilePath.c_str(), "rb");
    if (!file)
        return bytes;
    char block[4096];
    for (size_t n; (n = fread(block, 1, sizeof block, file)) > 0;)
        bytes.append(block, n);
    fclose(file);
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    StartFuzzRuntime();
    if (!mkdtemp(portFileDir)) {
        perror("mkdtemp");
        abort();
    }
    snprintf(ProjectDir, sizeof ProjectDir, "%s", portFileDir);
    portFilePath = std::string(portFileDir) + "/TAMSEL.INI";
    atexit(RemovePortFileDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string bytes((const char *)data, size);
    Require(WriteFile(bytes), "the port file is written");
    TakePopups();

    int port = -1;
    int result = GetIniFileComNo(&port);

    int expectedPort = 0;
    int expected = ReferenceReading(bytes.substr(0, READ_LIMIT), &expectedPort);
    Require(port >= 1 && port <= 4, "the port reported is 1 to 4");
    Require(result == expected, "the file is accepted exactly when it names a port as it should");
    Require(port == expectedPort, "the port reported is the one the file names, or the default");
    Require(TakePopups().empty(), "reading an existing file shows nothing");
    Require(ReadFile() == bytes, "reading leaves the file as it was");
    return 0;
}
