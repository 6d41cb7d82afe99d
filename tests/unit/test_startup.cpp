// Bringing up the component: every path of the start-up and the shut-down.
#include <gtest/gtest.h>

#include "Fakes.h"
#include "core/StartUp.h"

using core::Value;
using fake::Raise;
using fake::Returns;

namespace {

struct StartUpBed {
    fake::Log log;
    fake::Factory factory{log};
    fake::User user;
    core::Session session;

    bool Run() { return core::StartUpSequence(factory, user, session); }

    std::vector<std::wstring> Calls() const {
        std::vector<std::wstring> out;
        for (const auto& c : log) out.push_back(c.generation + L" " + c.op);
        return out;
    }
    std::vector<std::wstring> Texts() const {
        std::vector<std::wstring> out;
        for (const auto& b : user.boxes) {
            EXPECT_EQ(b.style, core::box::Ok | core::box::IconError);
            out.push_back(b.text);
        }
        return out;
    }
};

using Calls = std::vector<std::wstring>;
const std::wstring kInitFailed = core::kTextCouldNotInitialize;

}  // namespace

TEST(StartUp, SecondGenerationWhenItComesUp) {
    StartUpBed t;
    ASSERT_TRUE(t.Run());
    EXPECT_TRUE(t.session.usingV2);
    EXPECT_EQ(t.Calls(), (Calls{L"v2 Create", L"v2 Connect", L"v2 StartUp"}));
    EXPECT_EQ(t.log[1].args, (std::vector<std::wstring>{L"127.0.0.1", L"8001", L"8002", L"0", L"100001"}));
    EXPECT_EQ(t.log[2].args, (std::vector<std::wstring>{L"0"}));
    EXPECT_TRUE(t.user.boxes.empty());
    core::ShutDown(t.session);
    EXPECT_EQ(t.Calls().back(), L"v2 Terminate");
}

TEST(StartUp, OnlyFirstGenerationRegisteredFallsBackSilently) {
    StartUpBed t;
    t.factory.registered = {core::kProgIdV1};
    ASSERT_TRUE(t.Run());
    EXPECT_FALSE(t.session.usingV2);
    EXPECT_EQ(t.session.deviceV2, nullptr);
    EXPECT_EQ(t.Calls(), (Calls{L"v2 Create", L"v1 Create", L"v1 Connect", L"v1 StartUp"}));
    EXPECT_EQ(t.log[3].args,
              (std::vector<std::wstring>{L"True", L"0", L"0", L"0", L"0", L"254", L"255", L"8"}));
    EXPECT_TRUE(t.user.boxes.empty());
    core::ShutDown(t.session);
    EXPECT_EQ(t.Calls().back(), L"v1 Terminate");
}

TEST(StartUp, SecondGenerationFailuresFallBack) {
    struct Case {
        const wchar_t* op;
        core::CallResult result;
        Calls calls;
        std::vector<std::wstring> boxes;
    } cases[] = {
        {L"Connect", Returns(Value::Int(0)),
         {L"v2 Create", L"v2 Connect", L"v1 Create", L"v1 Connect", L"v1 StartUp"},
         {core::kTextConnectFailedV2}},
        {L"Connect", Raise(L"no service"),
         {L"v2 Create", L"v2 Connect", L"v1 Create", L"v1 Connect", L"v1 StartUp"},
         {core::kTextConnectFailedV2}},
        {L"StartUp", Returns(Value::Int(0)),
         {L"v2 Create", L"v2 Connect", L"v2 StartUp", L"v2 Disconnect", L"v1 Create", L"v1 Connect", L"v1 StartUp"},
         {}},
        {L"StartUp", Raise(L"boom"),
         {L"v2 Create", L"v2 Connect", L"v2 StartUp", L"v2 Disconnect", L"v1 Create", L"v1 Connect", L"v1 StartUp"},
         {}},
        {L"StartUp", Returns(Value::Int(256)),
         {L"v2 Create", L"v2 Connect", L"v2 StartUp", L"v2 Disconnect", L"v1 Create", L"v1 Connect", L"v1 StartUp"},
         {}},
    };
    for (auto& c : cases) {
        StartUpBed t;
        t.factory.setupV2 = [&](fake::Device& d) { d.scripted[c.op] = {c.result}; };
        EXPECT_TRUE(t.Run());
        EXPECT_FALSE(t.session.usingV2);
        EXPECT_EQ(t.Calls(), c.calls) << c.op;
        EXPECT_EQ(t.Texts(), c.boxes) << c.op;
    }
}

TEST(StartUp, FirstGenerationFailuresEndTheProgram) {
    struct Case {
        const wchar_t* op;
        core::CallResult result;
        Calls tail;  // calls after "v1 Create"
        std::wstring box;
    } cases[] = {
        {L"Connect", Returns(Value::Int(0)), {L"v1 Connect"}, core::kTextConnectFailedV1},
        {L"Connect", Returns(Value::Text(L"abc")), {L"v1 Connect"}, core::kTextConnectFailedV1},
        {L"Connect", Raise(L"gone"), {L"v1 Connect"}, kInitFailed},
        {L"StartUp", Returns(Value::Int(0)), {L"v1 Connect", L"v1 StartUp", L"v1 Disconnect"}, kInitFailed},
        {L"StartUp", Returns(Value::Int(-1)), {L"v1 Connect", L"v1 StartUp", L"v1 Disconnect"}, kInitFailed},
        {L"StartUp", Raise(L"gone"), {L"v1 Connect", L"v1 StartUp"}, kInitFailed},
    };
    for (auto& c : cases) {
        StartUpBed t;
        t.factory.registered = {core::kProgIdV1};
        t.factory.setupV1 = [&](fake::Device& d) { d.scripted[c.op] = {c.result}; };
        EXPECT_FALSE(t.Run());
        Calls expected{L"v2 Create", L"v1 Create"};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(t.Calls(), expected) << c.op;
        EXPECT_EQ(t.Texts(), (std::vector<std::wstring>{c.box})) << c.op;
    }
}

TEST(StartUp, NothingRegisteredTellsTheUserOnce) {
    StartUpBed t;
    t.factory.registered = {};
    EXPECT_FALSE(t.Run());
    EXPECT_EQ(t.Texts(), (std::vector<std::wstring>{kInitFailed}));
    EXPECT_EQ(t.Calls(), (Calls{L"v2 Create", L"v1 Create"}));
}

TEST(StartUp, AnyNonZeroByteAndTrueCountAsSuccess) {
    for (auto v : {Value::Int(1), Value::Int(255), Value::Bool(true), Value::Text(L"3")}) {
        StartUpBed t;
        t.factory.setupV2 = [&](fake::Device& d) {
            d.scripted[L"Connect"] = {Returns(v)};
            d.scripted[L"StartUp"] = {Returns(v)};
        };
        EXPECT_TRUE(t.Run());
        EXPECT_TRUE(t.session.usingV2);
    }
    for (auto v : {Value::Int(0), Value::Int(-1), Value::Int(256), Value::Bool(false), Value::Empty(),
                   Value::Null(), Value::Text(L"abc")}) {
        StartUpBed t;
        t.factory.setupV2 = [&](fake::Device& d) { d.scripted[L"StartUp"] = {Returns(v)}; };
        EXPECT_TRUE(t.Run());
        EXPECT_FALSE(t.session.usingV2);
    }
}
