// A stand-in for the service in the test process: it owns the service's name
// and object and answers what the fixture registers (replies the real service
// never sends).  The library connects to it unless connects_library_ is cleared.
#pragma once

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <memory>

#include "contact-engine-bus.h"
#include "contact-engine.h"
#include "test-support.h"

namespace contact_test {

class ResponderTest : public ::testing::Test {
protected:
    // Registers the methods the fixture answers on object_.
    virtual void register_methods() = 0;

    void SetUp() override
    {
        (void)bus();
        connection_ = sdbus::createSystemBusConnection(CONTACT_ENGINE_BUS_NAME);
        object_ = sdbus::createObject(*connection_, CONTACT_ENGINE_OBJECT_PATH);
        register_methods();
        object_->finishRegistration();
        connection_->enterEventLoopAsync();
        if (connects_library_) {
            ASSERT_EQ(contact_initialize(nullptr), 1);
        }
    }
    void TearDown() override
    {
        if (connects_library_)
            contact_finalize(nullptr);
        if (connection_ == nullptr)
            return; // SetUp failed before the responder stood
        connection_->leaveEventLoop();
        object_.reset();
        connection_->releaseName(CONTACT_ENGINE_BUS_NAME);
    }

    bool connects_library_ = true;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
};

} // namespace contact_test
