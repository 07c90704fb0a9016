// The bus cases of bustests.cpp run against whatever port this names.
#ifndef TARVO_TESTS_BUSTESTS_H
#define TARVO_TESTS_BUSTESTS_H

const char *busPort();

#endif
