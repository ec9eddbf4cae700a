// boot_monitor: the link to the device's resident boot monitor.
//
// Every operation here runs on the port worker thread, on the port that
// OpenComPort left open (115200 8N1, each read ends when the bytes asked for
// have arrived or 50 ms after it began). The link is strictly one request,
// one reply; nothing is retried. IdentifyBootMonitor logs its outcome; the
// sync logs only a probe write that failed, so that a line that is gone
// (adapter pulled, cable off) is not taken for a device still switched off.
// A command exchange whose reply is short after its read waits once more,
// BM_LATE_REPLY_WAIT_MS, for what a USB adapter held back.
#include "boot_monitor.h"

#include "log_view.h"
#include "serial_port.h"
#include "tool_profile.h"

Shared<int> g_stop_request{0};

// A write to the device failed: the sync's probe or the identify request.
static const char MSG_LINK_ERROR[] = "Ошибка связи с устройством.\n";

enum {
    BM_LEN_ERASE = 0x06,           // byte 1 of an erase frame: bytes after byte 1
    BM_LEN_PROGRAM = 0x86,         // byte 1 of a program frame
    BM_LEN_EEPROM_WRITE = 0x0E,    // byte 1 of an EEPROM-write frame
    BM_FIELD_ERASE = 0x08,         // byte 6 of an erase frame, fixed
    BM_FIELD_PROGRAM = 0x02,       // byte 6 of a program frame, fixed
    BM_FIELD_EEPROM_WRITE = 0x08,  // byte 6 of an EEPROM-write frame, fixed
    BM_PAYLOAD_AT = 7,             // position of the first payload byte
    BM_IDENTIFY_MIN = 16,          // shortest reply that can be an identify reply, bytes
    BM_IDENTIFY_MAJOR_AT = 12,     // position of the version's major number
    BM_IDENTIFY_MINOR_AT = 13,     // position of the version's minor number
    BM_IDENTIFY_FIXED_14 = 0xFF,   // fixed value at position 14 of an identify reply
    BM_IDENTIFY_FIXED_15 = 0x84,   // fixed value at position 15 of an identify reply
};

// The identify request: start, length 2, command 0, checksum of byte 2 alone.
static const unsigned char kIdentifyRequest[4] = {
    BM_FRAME_START, 0x02, BM_CMD_IDENTIFY, BM_CMD_IDENTIFY};

// The three status replies, matched whole; byte 4 is the XOR of bytes 2 and 3.
static const unsigned char kReplyDone[BM_STATUS_REPLY_LEN] = {
    BM_FRAME_START, 0x03, BM_REPLY_STATUS, BM_STATUS_DONE, 0xFE};
static const unsigned char kReplyNotSupported[BM_STATUS_REPLY_LEN] = {
    BM_FRAME_START, 0x03, BM_REPLY_STATUS, BM_STATUS_NOT_SUPPORTED, 0x0E};
static const unsigned char kReplyBadChecksum[BM_STATUS_REPLY_LEN] = {
    BM_FRAME_START, 0x03, BM_REPLY_STATUS, BM_STATUS_BAD_CHECKSUM, 0x0D};

static int SameBytes(const unsigned char* a, const unsigned char* b, unsigned n)
{
    for (unsigned i = 0; i < n; ++i)
        if (a[i] != b[i]) return 0;
    return 1;
}

// A failed read counts as nothing received.
static int ReadCount(PortHandle port, unsigned char* buffer, unsigned n)
{
    int got = PortRead(port, buffer, n);
    return got < 0 ? 0 : got;
}

int SyncBootMonitor()
{
    PortHandle port = g_port.load();
    if (!port) return 0;  // the stop request is left for the next sync

    PortPurge(port);
    for (;;) {
        const unsigned char probe = BM_SYNC_PROBE;
        if (!PortWrite(port, &probe, 1)) {
            g_stop_request.store(0);
            LogPrint("%s", MSG_LINK_ERROR);
            return 0;
        }
        unsigned char answer = 0;
        if (ReadCount(port, &answer, 1) == 1 && answer == BM_SYNC_ANSWER) {
            g_stop_request.store(0);
            PortPurge(port);  // drops whatever followed the answer
            return 1;
        }
        // Echoes and noise are ignored; only a stop ends an unanswered probe.
        if (g_stop_request.exchange(0) != 0) return 0;
    }
}

int IdentifyBootMonitor()
{
    PortHandle port = g_port.load();
    if (!port) return 0;

    PortPurge(port);
    if (!PortWrite(port, kIdentifyRequest, sizeof kIdentifyRequest)) {
        LogPrint("%s", MSG_LINK_ERROR);
        return 0;
    }

    unsigned char reply[BM_IDENTIFY_READ];
    const int n = ReadCount(port, reply, sizeof reply);

    if (n == BM_STATUS_REPLY_LEN && SameBytes(reply, kReplyDone, 3)) {
        if (SameBytes(reply, kReplyNotSupported, BM_STATUS_REPLY_LEN))
            LogPrint("Комманда не поддерживается устройством.\n");
        else if (SameBytes(reply, kReplyBadChecksum, BM_STATUS_REPLY_LEN))
            LogPrint("Не верная контрольная сумма комманды.\n");
        else if (SameBytes(reply, kReplyDone, BM_STATUS_REPLY_LEN))
            LogPrint("Комманда выполнена.\n");  // a status is never an identity
        else
            LogPrint("Неопознаный ответ от устройства.\n");
        return 0;
    }

    if (n >= BM_IDENTIFY_MIN && n == reply[1] + 2 && reply[2] == BM_REPLY_IDENTIFY &&
        reply[14] == BM_IDENTIFY_FIXED_14 && reply[15] == BM_IDENTIFY_FIXED_15) {
        if (reply[3] != BM_IDENTIFY_DATA_COUNT) {
            LogPrint("Неверное количество данных.\n");
            return 0;
        }
        LogPrint("Обнаружен загрузчик версии: %i.%i \n",
                 (int)reply[BM_IDENTIFY_MAJOR_AT], (int)reply[BM_IDENTIFY_MINOR_AT]);
        return 1;
    }

    if (n == 0)
        LogPrint("Устройство не отвечает.\n");
    else
        LogPrint("Неопознаный ответ от устройства.\n");
    return 0;
}

unsigned char FrameChecksum(const unsigned char* bytes, unsigned n)
{
    unsigned char sum = 0;
    for (unsigned i = 0; i < n; ++i) sum ^= bytes[i];
    return sum;
}

unsigned BuildCommandFrame(unsigned char* frame, unsigned char command,
                           unsigned address, const unsigned char* payload)
{
    unsigned char length;
    unsigned char field;
    unsigned payload_bytes;
    switch (command) {
    case BM_CMD_ERASE:
        length = BM_LEN_ERASE;
        field = BM_FIELD_ERASE;
        payload_bytes = 0;
        break;
    case BM_CMD_PROGRAM:
        length = BM_LEN_PROGRAM;
        field = BM_FIELD_PROGRAM;
        payload_bytes = BM_PROGRAM_PAYLOAD;
        break;
    case BM_CMD_EEPROM_WRITE:
        length = BM_LEN_EEPROM_WRITE;
        field = BM_FIELD_EEPROM_WRITE;
        payload_bytes = BM_EEPROM_PAYLOAD;
        break;
    default:
        return 0;  // identify has its own fixed request; nothing else exists
    }
    if (payload_bytes && !payload) return 0;

    frame[0] = BM_FRAME_START;
    frame[1] = length;
    frame[2] = command;
    frame[3] = (unsigned char)(address & 0xFF);
    frame[4] = (unsigned char)((address >> 8) & 0xFF);
    // The EEPROM is addressed with 16 bits; its byte 5 stays 0.
    frame[5] = command == BM_CMD_EEPROM_WRITE ? 0x00 : (unsigned char)((address >> 16) & 0xFF);
    frame[6] = field;
    for (unsigned i = 0; i < payload_bytes; ++i)
        frame[BM_PAYLOAD_AT + i] = (unsigned char)(payload[i] ^ BM_WHITENING);
    // Checksum over bytes 2..L as they go out, whitened payload included.
    frame[length + 1] = FrameChecksum(frame + 2, length - 1u);
    return length + 2u;
}

ExchangeOutcome ExchangeCommand(const unsigned char* frame, unsigned length)
{
    PortHandle port = g_port.load();
    if (!port) return BM_OUTCOME_WRITE_FAILED;
    // Bytes that arrived after the last exchange was judged answer no frame
    // of this one.
    PortDropInput(port);
    if (!PortWrite(port, frame, length)) return BM_OUTCOME_WRITE_FAILED;

    // One byte more than a status reply, so that an overlong reply shows.
    unsigned char reply[BM_EXCHANGE_READ];
    int n = ReadCount(port, reply, sizeof reply);
    if (n < BM_STATUS_REPLY_LEN) {
        // A USB adapter hands the device's bytes on only when its latency
        // timer runs out (16 ms on an FTDI chip), and the write returned
        // while the frame was still in the adapter: a reply sent in time
        // may reach us after the read. Wait once more, briefly, for the
        // rest; a device that answers in time never gets here.
        if (ApplyPortTimeouts(port, BM_LATE_REPLY_WAIT_MS)) {
            n += ReadCount(port, reply + n, sizeof reply - n);
            // Reads at the late wait's time-out would cut every later reply short.
            if (!ApplyPortTimeouts(port, Tool().read_constant_ms)) return BM_OUTCOME_WRITE_FAILED;
        }
    }
    if (n == BM_STATUS_REPLY_LEN) {
        if (SameBytes(reply, kReplyDone, BM_STATUS_REPLY_LEN)) return BM_OUTCOME_DONE;
        if (SameBytes(reply, kReplyNotSupported, BM_STATUS_REPLY_LEN)) return BM_OUTCOME_NOT_SUPPORTED;
        if (SameBytes(reply, kReplyBadChecksum, BM_STATUS_REPLY_LEN)) return BM_OUTCOME_BAD_CHECKSUM;
    }
    return n == 0 ? BM_OUTCOME_NO_REPLY : BM_OUTCOME_UNRECOGNISED;
}
