// Captures what the code under test writes to stdout or stderr, through the
// file descriptor, so printf and fprintf are both caught.
#ifndef TARVO_TESTS_CAPTURE_H
#define TARVO_TESTS_CAPTURE_H

#include <cstdio>
#include <string>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

class OutputCapture
{
public:
    explicit OutputCapture(FILE *stream) : stream_(stream), file_(std::tmpfile())
    {
        std::fflush(stream_);
        saved_ = dup(fileno(stream_));
        dup2(fileno(file_), fileno(stream_));
    }
    ~OutputCapture()
    {
        std::fflush(stream_);
        dup2(saved_, fileno(stream_));
        close(saved_);
        std::fclose(file_);
    }
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    std::string text()
    {
        std::fflush(stream_);
        std::string s;
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;)
            s += char(c);
        return s;
    }
    bool contains(const std::string &needle) { return text().find(needle) != std::string::npos; }

private:
    FILE *stream_;
    FILE *file_;
    int saved_ = -1;
};

#endif
