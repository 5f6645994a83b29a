// The automaton on a recording protocol: the transition table cell by cell,
// restart timing on the fake clock, identifiers and the packets it builds.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "fsm.h"
#include "pkt_buffer.h"
#include "ppp_harness.h"
#include "timer.h"

using namespace ppptest;

namespace {

struct Recorder {
    std::string log;            // "scr sca tld@ACK_SENT ..."
    std::vector<Bytes> sent;
    int rcrResult = 0;
    int verdict = 0;
    int buildResult = 0;
};
Recorder gRec;

void Note(const std::string &what)
{
    if (!gRec.log.empty())
        gRec.log += ' ';
    gRec.log += what;
}

void RecSend(PKT_Buffer *b, void *)
{
    const uint8_t *p = PKT_Data(b);
    gRec.sent.push_back(Bytes(p, p + PKT_Length(b)));
    static const char *const kNames[] = {"?",   "scr", "sca", "scn", "scn", "str", "sta",
                                         "scj", "?",   "?",   "ser", "?",   "?",   "?",
                                         "?",   "sra"};
    Note(p[0] < 16 ? kNames[p[0]] : "?");
    PKT_Free(b);
}

int RecCheck(const uint8_t *, uint32_t, PPP_OptionList *rej, PPP_OptionList *, FSM *)
{
    static uint8_t buffer[64];
    static const uint8_t kOption[] = {0x42, 2};
    if (gRec.rcrResult == 1) {
        *rej = {buffer, 0, sizeof buffer};
        PPP_OptionListAppend(2, rej, kOption);
    }
    return gRec.rcrResult;
}

int RecZero(const uint8_t *, uint32_t, FSM *) { return 0; }
int RecVerdict(const uint8_t *, uint32_t, FSM *) { return gRec.verdict; }
int RecBuild(PPP_OptionList *, FSM *) { return gRec.buildResult; }

void Layer(FSM *f, const char *what)
{
    Note(std::string(what) + "@" + FSM_StateName(f->state));
}
void RecTlu(FSM *f) { Layer(f, "tlu"); }
void RecTld(FSM *f) { Layer(f, "tld"); }
void RecTls(FSM *f) { Layer(f, "tls"); }
void RecTlf(FSM *f) { Layer(f, "tlf"); }

void MakeRecord(FSM *f, uint32_t backoff = 0)
{
    memset(f, 0, sizeof *f);
    f->backoff = backoff;
    FSM_Handlers &h = f->handlers;
    h.configureRequest = RecCheck;
    h.configureAck = RecZero;
    h.configureNak = RecZero;
    h.configureReject = RecZero;
    h.codeReject = RecVerdict;
    h.buildRequest = RecBuild;
    h.send = RecSend;
    h.thisLayerUp = RecTlu;
    h.thisLayerDown = RecTld;
    h.thisLayerStarted = RecTls;
    h.thisLayerFinished = RecTlf;
    FSM_Init(f);
}

bool TimerState(FSM_State s)
{
    return s == FSM_STATE_CLOSING || s == FSM_STATE_STOPPING || s == FSM_STATE_REQ_SENT ||
           s == FSM_STATE_ACK_RCVD || s == FSM_STATE_ACK_SENT;
}

// Puts the record into a state as a running negotiation would have left it.
void Force(FSM *f, FSM_State s)
{
    f->state = s;
    f->restartCount = 0;
    f->timeout = f->restartTime;
    f->requestId = 0x51;
    f->terminateId = 0x61;
    f->nextId = 0x70;
    if (TimerState(s)) {
        TIMER_Add(f->timeout, 0, 1, FSM_Timeout, f);
        f->timerArmed = 1;
    }
}

enum Event { UP, DOWN, OPEN, CLOSE, TO, RCRP, RCRM, RCA, RCN, RCJ, RTR, RTA, RXJP, RXJM, RUC,
             RCR_GIVE_UP, EVENTS };
const char *const kEventNames[] = {"Up",  "Down", "Open", "Close", "TO",  "RCR+", "RCR-", "RCA",
                                   "RCN", "RCJ",  "RTR",  "RTA",   "RXJ+", "RXJ-", "RUC",
                                   "RCR give-up"};

void Apply(FSM *f, Event e)
{
    Bytes pkt;
    switch (e) {
    case UP: FSM_Up(f); return;
    case DOWN: FSM_Down(f); return;
    case OPEN: FSM_Open(f); return;
    case CLOSE: FSM_Close(f); return;
    case TO:
        TIMER_Cancel(FSM_Timeout, f);   // the timer fired
        FSM_Timeout(f);
        return;
    case RCRP: gRec.rcrResult = 0; pkt = Hex("01 20 00 04"); break;
    case RCRM: gRec.rcrResult = 1; pkt = Hex("01 20 00 04"); break;
    case RCA: pkt = Hex("02 51 00 04"); break;
    case RCN: pkt = Hex("03 51 00 04"); break;
    case RCJ: pkt = Hex("04 51 00 04"); break;
    case RTR: pkt = Hex("05 30 00 04"); break;
    case RTA: pkt = Hex("06 61 00 04"); break;
    case RXJP: gRec.verdict = 0; pkt = Hex("07 40 00 08 0D 01 00 04"); break;
    case RXJM: gRec.verdict = 1; pkt = Hex("07 40 00 08 0D 01 00 04"); break;
    case RUC: pkt = Hex("0D 01 00 04"); break;
    case RCR_GIVE_UP: gRec.rcrResult = FSM_TERMINATE; pkt = Hex("01 20 00 04"); break;
    default: return;
    }
    FSM_Input(pkt.data(), (uint32_t)pkt.size(), f);
}

// One row per event, one cell per state INITIAL..OPENED: "-" is no action
// and no change, otherwise "NEWSTATE|actions"; a layer action shows the
// state it ran in.
const char *const kTable[EVENTS][10] = {
    /* Up */ {"CLOSED|", "REQ_SENT|scr", "-", "-", "-", "-", "-", "-", "-", "-"},
    /* Down */ {"-", "-", "INITIAL|", "STARTING|tls@STOPPED", "INITIAL|", "STARTING|", "STARTING|",
                "STARTING|", "STARTING|", "STARTING|tld@STARTING"},
    /* Open */ {"STARTING|tls@STARTING", "-", "REQ_SENT|scr", "REQ_SENT|tls@STOPPED scr",
                "REQ_SENT|scr", "REQ_SENT|scr", "-", "-", "-", "REQ_SENT|tld@STARTING scr"},
    /* Close */ {"-", "INITIAL|tlf@INITIAL", "-", "CLOSED|", "-", "CLOSING|", "CLOSING|str",
                 "CLOSING|str", "CLOSING|str", "CLOSING|str tld@CLOSING"},
    /* TO */ {"-", "-", "-", "-", "CLOSING|str", "STOPPING|str", "REQ_SENT|scr", "REQ_SENT|scr",
              "ACK_SENT|scr", "-"},
    /* RCR+ */ {"-", "-", "CLOSED|sta", "ACK_SENT|scr sca", "-", "-", "ACK_SENT|sca",
                "OPENED|sca tlu@OPENED", "ACK_SENT|sca", "ACK_SENT|scr sca tld@ACK_SENT"},
    /* RCR- */ {"-", "-", "CLOSED|sta", "REQ_SENT|scr scn", "-", "-", "REQ_SENT|scn",
                "ACK_RCVD|scn", "REQ_SENT|scn", "REQ_SENT|scr scn tld@REQ_SENT"},
    /* RCA */ {"-", "-", "CLOSED|sta", "STOPPED|sta", "-", "-", "ACK_RCVD|", "REQ_SENT|scr",
               "OPENED|tlu@OPENED", "REQ_SENT|scr tld@REQ_SENT"},
    /* RCN */ {"-", "-", "CLOSED|sta", "STOPPED|sta", "-", "-", "REQ_SENT|scr", "REQ_SENT|scr",
               "ACK_SENT|scr", "REQ_SENT|scr tld@REQ_SENT"},
    /* RCJ */ {"-", "-", "CLOSED|sta", "STOPPED|sta", "-", "-", "REQ_SENT|scr", "REQ_SENT|scr",
               "ACK_SENT|scr", "REQ_SENT|scr tld@REQ_SENT"},
    /* RTR */ {"-", "-", "CLOSED|sta", "STOPPED|sta", "CLOSING|sta", "STOPPING|sta",
               "REQ_SENT|sta", "REQ_SENT|sta", "REQ_SENT|sta", "STOPPING|sta tld@STOPPING"},
    /* RTA */ {"-", "-", "-", "-", "CLOSED|tlf@CLOSED", "STOPPED|tlf@STOPPED", "-", "REQ_SENT|",
               "-", "REQ_SENT|scr tld@REQ_SENT"},
    /* RXJ+ */ {"-", "-", "-", "-", "-", "-", "-", "REQ_SENT|", "-", "-"},
    // The state is written before This-Layer-Finished.
    /* RXJ- */ {"-", "-", "CLOSED|tlf@CLOSED", "STOPPED|tlf@STOPPED", "CLOSED|tlf@CLOSED",
                "STOPPED|tlf@STOPPED", "STOPPED|tlf@STOPPED", "STOPPED|tlf@STOPPED",
                "STOPPED|tlf@STOPPED", "STOPPING|str tld@STOPPING"},
    /* RUC */ {"-", "-", "CLOSED|scj", "STOPPED|scj", "CLOSING|scj", "STOPPING|scj",
               "REQ_SENT|scj", "ACK_RCVD|scj", "ACK_SENT|scj", "OPENED|scj"},
    // A Configure-Request check that gives up (3) ends only a layer that
    // negotiates or is open; a closed or closing one has nothing to end.
    /* RCR give-up */ {"-", "-", "-", "-", "-", "-", "CLOSING|str tld@CLOSING",
                       "CLOSING|str tld@CLOSING", "CLOSING|str tld@CLOSING",
                       "CLOSING|str tld@CLOSING"},
};

class FsmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetClock();
        gRec = Recorder();
    }
};

TEST_F(FsmTest, TransitionTable)
{
    for (int e = 0; e < EVENTS; e++) {
        for (uint32_t s = FSM_STATE_INITIAL; s <= FSM_STATE_OPENED; s++) {
            FSM f;
            MakeRecord(&f);
            Force(&f, (FSM_State)s);
            gRec = Recorder();
            Apply(&f, (Event)e);

            std::string cell = kTable[e][s - 1];
            std::string wantState = FSM_StateName(s), wantLog;
            if (cell != "-") {
                size_t bar = cell.find('|');
                wantState = cell.substr(0, bar);
                wantLog = cell.substr(bar + 1);
            }
            std::string where = std::string(kEventNames[e]) + " in " + FSM_StateName(s);
            EXPECT_EQ(FSM_StateName(f.state), wantState) << where;
            EXPECT_EQ(gRec.log, wantLog) << where;
            bool armed = TimerState(f.state);
            EXPECT_EQ(f.timerArmed, armed ? 1u : 0u) << where;
            EXPECT_EQ(PendingTimers(), armed ? 1u : 0u) << where;
            TIMER_Cancel(FSM_Timeout, &f);
        }
    }
}

// Identifiers: the request's own for sca/scn/sta, fresh ones for what the
// automaton originates; answers with a stale identifier call no handler.
TEST_F(FsmTest, Identifiers)
{
    FSM f;
    MakeRecord(&f);
    FSM_Open(&f);
    FSM_Up(&f);
    ASSERT_EQ(gRec.sent.size(), 1u);
    EXPECT_EQ(gRec.sent[0], Hex("01 00 00 04"));
    EXPECT_EQ(f.nextId, 1);

    Bytes stale = Hex("02 07 00 04");
    FSM_Input(stale.data(), 4, &f);
    EXPECT_EQ(f.state, FSM_STATE_REQ_SENT) << "Ack with a stale identifier";

    gRec.sent.clear();
    Bytes req = Hex("01 9A 00 06 05 02");
    FSM_Input(req.data(), 6, &f);
    ASSERT_EQ(gRec.sent.size(), 1u);
    EXPECT_EQ(gRec.sent[0], Hex("02 9A 00 06 05 02"));
    EXPECT_EQ(f.state, FSM_STATE_ACK_SENT);

    Bytes ack = Hex("02 00 00 04");
    FSM_Input(ack.data(), 4, &f);
    EXPECT_EQ(f.state, FSM_STATE_OPENED);
    EXPECT_EQ(PendingTimers(), 0u);

    // Wrap at 256.
    f.nextId = 0xFF;
    FSM_Close(&f);
    EXPECT_EQ(gRec.sent.back(), Hex("05 FF 00 04"));
    EXPECT_EQ(f.nextId, 0);
    Bytes wrongTa = Hex("06 00 00 04");
    FSM_Input(wrongTa.data(), 4, &f);
    EXPECT_EQ(f.state, FSM_STATE_CLOSING) << "Terminate-Ack for another request";
    Bytes ta = Hex("06 FF 00 04");
    FSM_Input(ta.data(), 4, &f);
    EXPECT_EQ(f.state, FSM_STATE_CLOSED);
    EXPECT_EQ(PendingTimers(), 0u);
}

TEST_F(FsmTest, InputAndFixedPackets)
{
    FSM f;
    MakeRecord(&f);
    FSM_Open(&f);
    FSM_Up(&f);
    gRec.sent.clear();

    // Header length above the bytes at hand, or fewer than 4 bytes: dropped.
    Bytes lying = Hex("0D 01 00 09 00 00 00 00");
    FSM_Input(lying.data(), 8, &f);
    FSM_Input(lying.data(), 3, &f);
    // Code 12 is ignored, code 13 draws a Code-Reject.
    Bytes ident = Hex("0C 01 00 04");
    FSM_Input(ident.data(), 4, &f);
    EXPECT_TRUE(gRec.sent.empty());

    // Code-Reject cut to the peer MRU: 10 bytes of a 40-byte packet.
    f.peerMRU = 10;
    Bytes big(40, 0xAB);
    big[0] = 0x20;
    big[1] = 0x05;
    big[2] = 0x00;
    big[3] = 40;
    FSM_Input(big.data(), 40, &f);
    ASSERT_EQ(gRec.sent.size(), 1u);
    EXPECT_EQ(gRec.sent[0], Hex("07 01 00 0E 20 05 00 28 AB AB AB AB AB AB"));

    // A packet whose header length is below 4 is passed on as it says, and
    // never gets a Configure-Ack built from it.
    gRec.sent.clear();
    gRec.rcrResult = 0;
    Bytes shortReq = Hex("01 33 00 02");
    FSM_Input(shortReq.data(), 4, &f);
    EXPECT_TRUE(gRec.sent.empty());
    EXPECT_EQ(f.state, FSM_STATE_ACK_SENT);

    // No Echo-Request handler: Code-Reject once past STARTING.
    Bytes echo = Hex("09 04 00 08 00 00 00 00");
    FSM_Input(echo.data(), 8, &f);
    ASSERT_EQ(gRec.sent.size(), 1u);
    EXPECT_EQ(gRec.sent[0][0], FSM_CODE_CODE_REJECT);
}

// An empty slot makes the code undefined: Configure-Ack/Nak/Reject test
// that before their identifier, Echo-Reply and Reset-Ack only after theirs.
TEST_F(FsmTest, EmptySlotVersusIdentifier)
{
    FSM f;
    MakeRecord(&f);
    f.handlers.configureAck = nullptr;
    FSM_Open(&f);
    FSM_Up(&f);
    f.echoId = 0x21;
    f.resetId = 0x31;
    struct Case {
        const char *packet;
        bool codeReject;
    };
    const Case cases[] = {
        {"02 55 00 04", true},   // Configure-Ack, stale identifier, no slot
        {"0A 20 00 04", false},  // Echo-Reply, stale identifier
        {"0A 21 00 04", true},   // Echo-Reply, its identifier, no slot
        {"0F 30 00 04", false},  // Reset-Ack, stale identifier
        {"0F 31 00 04", true},
    };
    for (const Case &c : cases) {
        gRec.sent.clear();
        Bytes p = Hex(c.packet);
        FSM_Input(p.data(), 4, &f);
        EXPECT_EQ(gRec.sent.size(), c.codeReject ? 1u : 0u) << c.packet;
        if (c.codeReject && !gRec.sent.empty()) {
            EXPECT_EQ(gRec.sent[0][0], FSM_CODE_CODE_REJECT) << c.packet;
        }
    }
    TIMER_Cancel(FSM_Timeout, &f);
}

// A check that fills both lists sends only the Reject; one that returns 1
// with empty lists sends nothing but still makes the transition.
TEST_F(FsmTest, RejectBeatsNak)
{
    static uint8_t rejBuf[8], nakBuf[8];
    struct Local {
        static int Both(const uint8_t *, uint32_t, PPP_OptionList *rej, PPP_OptionList *nak, FSM *)
        {
            static const uint8_t r[] = {0x42, 2}, n[] = {0x01, 4, 5, 0xDC};
            *rej = {rejBuf, 0, sizeof rejBuf};
            *nak = {nakBuf, 0, sizeof nakBuf};
            PPP_OptionListAppend(2, rej, r);
            PPP_OptionListAppend(4, nak, n);
            return 1;
        }
        static int Empty(const uint8_t *, uint32_t, PPP_OptionList *, PPP_OptionList *, FSM *)
        {
            return 1;
        }
    };
    FSM f;
    MakeRecord(&f);
    f.handlers.configureRequest = Local::Both;
    FSM_Open(&f);
    FSM_Up(&f);
    gRec.sent.clear();
    Bytes req = Hex("01 07 00 04");
    FSM_Input(req.data(), 4, &f);
    ASSERT_EQ(gRec.sent.size(), 1u);
    EXPECT_EQ(gRec.sent[0], Hex("04 07 00 06 42 02"));

    f.handlers.configureRequest = Local::Empty;
    Force(&f, FSM_STATE_ACK_SENT);
    gRec.sent.clear();
    FSM_Input(req.data(), 4, &f);
    EXPECT_TRUE(gRec.sent.empty());
    EXPECT_EQ(f.state, FSM_STATE_REQ_SENT);
    TIMER_Cancel(FSM_Timeout, &f);
}

// A builder that gives up inside an event's scr leaves the layer CLOSING:
// the event does not overwrite that state and sends nothing more.
TEST_F(FsmTest, BuilderGivesUpInsideEvent)
{
    FSM f;
    MakeRecord(&f);
    FSM_Open(&f);
    gRec.buildResult = FSM_TERMINATE;
    gRec.log.clear();
    FSM_Up(&f);
    EXPECT_EQ(f.state, FSM_STATE_CLOSING);
    EXPECT_EQ(gRec.log, "str tld@CLOSING");

    MakeRecord(&f);
    Force(&f, FSM_STATE_STOPPED);
    gRec.log.clear();
    gRec.rcrResult = 0;
    Bytes req = Hex("01 07 00 04");
    FSM_Input(req.data(), 4, &f);
    EXPECT_EQ(f.state, FSM_STATE_CLOSING);
    EXPECT_EQ(gRec.log, "str tld@CLOSING") << "no Configure-Ack after the give-up";
    TIMER_Cancel(FSM_Timeout, &f);
}

// A handler's give-up in INITIAL or STARTING sends nothing: there is no
// lower layer to carry it.
TEST_F(FsmTest, GiveUpBeforeLowerLayerIsUpSendsNothing)
{
    FSM f;
    MakeRecord(&f);
    FSM_Open(&f);
    gRec = Recorder();
    gRec.rcrResult = FSM_TERMINATE;
    Bytes req = Hex("01 07 00 04");
    FSM_Input(req.data(), 4, &f);
    EXPECT_EQ(f.state, FSM_STATE_STARTING);
    EXPECT_TRUE(gRec.sent.empty());
    EXPECT_EQ(PendingTimers(), 0u);
}

struct ScheduleCase {
    const char *what;
    uint32_t backoff;
    std::vector<uint64_t> sendTimes;
    uint64_t giveUpMs;
};

// Restart timing of a request nobody answers.
TEST_F(FsmTest, ConfigureRequestSchedule)
{
    const ScheduleCase cases[] = {
        {"backoff (LCP)", 1, {0, 150, 2150, 6150, 14150}, 30150},
        {"no backoff (IPCP)", 0, {0, 150, 3150, 6150, 9150}, 12150},
    };
    for (const ScheduleCase &c : cases) {
        ResetClock();
        gRec = Recorder();
        FSM f;
        MakeRecord(&f, c.backoff);
        std::vector<uint64_t> times;
        static std::vector<uint64_t> *sTimes;
        sTimes = &times;
        f.handlers.send = [](PKT_Buffer *b, void *) {
            sTimes->push_back(NowMs());
            PKT_Free(b);
        };
        FSM_Open(&f);
        FSM_Up(&f);
        Advance(c.giveUpMs - 1);
        EXPECT_EQ(times, c.sendTimes) << c.what;
        EXPECT_EQ(f.state, FSM_STATE_REQ_SENT) << c.what;
        gRec.log.clear();
        Advance(1);
        EXPECT_EQ(f.state, FSM_STATE_STOPPED) << c.what;
        EXPECT_EQ(gRec.log, "tlf@STOPPED") << c.what;
        for (int i = 0; i < 12; i++)
            Jump(5000);
        EXPECT_EQ(times.size(), c.sendTimes.size()) << c.what << ": no sixth request";
        EXPECT_EQ(PendingTimers(), 0u);
    }
}

// Terminate-Request timing: Close in OPENED, Close in REQ_SENT (the second
// request waits for the running Configure-Request timer), RTR in OPENED.
TEST_F(FsmTest, TerminateSchedules)
{
    static std::vector<std::pair<uint64_t, uint8_t>> *sSent;
    std::vector<std::pair<uint64_t, uint8_t>> sent;
    sSent = &sent;
    auto timedSend = [](PKT_Buffer *b, void *) {
        sSent->push_back({NowMs(), PKT_Data(b)[0]});
        PKT_Free(b);
    };
    auto reachOpened = [&](FSM *f) {
        MakeRecord(f, 1);
        f->handlers.send = timedSend;
        FSM_Open(f);
        FSM_Up(f);
        Bytes req = Hex("01 09 00 04"), ack = Hex("02 00 00 04");
        gRec.rcrResult = 0;
        FSM_Input(req.data(), 4, f);
        FSM_Input(ack.data(), 4, f);
        ASSERT_EQ(f->state, FSM_STATE_OPENED);
        sent.clear();
    };

    FSM f;
    reachOpened(&f);
    FSM_Close(&f);
    Advance(2999);
    EXPECT_EQ(sent, (std::vector<std::pair<uint64_t, uint8_t>>{{0, 5}, {1000, 5}}));
    EXPECT_EQ(f.state, FSM_STATE_CLOSING);
    Advance(1);
    EXPECT_EQ(f.state, FSM_STATE_CLOSED);
    EXPECT_EQ(PendingTimers(), 0u);

    ResetClock();
    reachOpened(&f);
    uint64_t t0 = NowMs();
    Bytes rtr = Hex("05 44 00 04");
    FSM_Input(rtr.data(), 4, &f);
    EXPECT_EQ(f.state, FSM_STATE_STOPPING);
    Advance(3999);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], std::make_pair(t0, (uint8_t)6));
    EXPECT_EQ(sent[1], std::make_pair(t0 + 1000, (uint8_t)5));
    EXPECT_EQ(sent[2], std::make_pair(t0 + 2000, (uint8_t)5));
    Advance(1);
    EXPECT_EQ(f.state, FSM_STATE_STOPPED);
    EXPECT_EQ(PendingTimers(), 0u);

    ResetClock();
    MakeRecord(&f, 1);
    f.handlers.send = timedSend;
    FSM_Open(&f);
    FSM_Up(&f);
    Advance(100);
    sent.clear();
    FSM_Close(&f);  // at 100 ms; the Configure-Request timer is due at 150 ms
    Advance(49);
    EXPECT_EQ(sent.size(), 1u);
    Advance(1);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], std::make_pair((uint64_t)150, (uint8_t)5));
    EXPECT_EQ(f.state, FSM_STATE_CLOSING);
    Advance(2000);  // next expiry after the current timeout (2 s)
    EXPECT_EQ(f.state, FSM_STATE_CLOSED);
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(PendingTimers(), 0u);
}

TEST_F(FsmTest, InitDefaultsAndBackoffCap)
{
    FSM f;
    MakeRecord(&f, 1);
    EXPECT_EQ(f.firstDelayMs, 150u);
    EXPECT_EQ(f.maxConfigure, 5u);
    EXPECT_EQ(f.maxTerminate, 2u);
    EXPECT_EQ(f.restartTime, 1u);
    EXPECT_EQ(f.peerMRU, 1500);
    EXPECT_EQ(f.state, FSM_STATE_INITIAL);
    MakeRecord(&f, 0);
    EXPECT_EQ(f.restartTime, 3u);

    // With a large Max-Configure the doubling stops at the cap instead of
    // wrapping to 0.
    MakeRecord(&f, 1);
    f.maxConfigure = 40;
    FSM_Open(&f);
    FSM_Up(&f);
    for (int i = 0; i < 39; i++) {
        TIMER_Cancel(FSM_Timeout, &f);
        FSM_Timeout(&f);
    }
    EXPECT_EQ(f.timeout, (uint32_t)FSM_MAX_TIMEOUT);
    TIMER_Cancel(FSM_Timeout, &f);
}

} // namespace
