#pragma once

// The window's tests against the scripted DBX library (tests/fakedbx/): each case starts with a
// fresh script and no library loaded, and its windows may close one after another without
// ending the next modal loop.

#include <gtest/gtest.h>

#include <QApplication>

#include "dbx/library_loader.h"
#include "tests/fakedbx/fake_dbx.h"

namespace bitlay::app {

template <typename Base = ::testing::Test>
class WithFakeDbx : public Base {
  protected:
    void SetUp() override {
        QApplication::setQuitOnLastWindowClosed(false);
        fakedbx::reset();
        dbx::resetLinkForTesting();
    }
    void TearDown() override { dbx::resetLinkForTesting(); }
};

}  // namespace bitlay::app
