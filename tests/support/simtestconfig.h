#pragma once

#include <QByteArray>

// The simulator configuration a test runs on: the test's own items after those of the link the
// run asks for. By default the link and the chip are instant; NPX4_TEST_LINK names other items
// (such as "link=high") for a run over a paced, packetized link with NAND timing. A key the
// test sets itself keeps the test's value.
QByteArray simTestConfig(const QByteArray &config);
