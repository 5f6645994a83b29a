// pcap capture writer. Fields are written little-endian whatever the host, so
// the file is the same on every build (readers detect the order from the magic).
#include "pcap_writer.h"

#include <new>

#include "sync.h"

static const uint32_t kMagic = 0xA1B2C3D4u;    // seconds and microseconds

static uint8_t *Put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    return p + 2;
}

static uint8_t *Put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
    return p + 4;
}

PcapWriter *PCAP_Open(FILE *file, uint32_t mode)
{
    if (!file)
        return nullptr;
    PcapWriter *writer = new (std::nothrow) PcapWriter();
    if (!writer)
        return nullptr;
    writer->file = file;
    writer->mode = mode == PCAP_MODE_DIRECTION ? PCAP_MODE_DIRECTION : PCAP_MODE_PLAIN;

    // Plain records hold bare PPP frames: link type PPP, never 0 (BSD loopback).
    uint32_t linkType = writer->mode == PCAP_MODE_DIRECTION ? PCAP_LINKTYPE_PPP_WITH_DIR
                                                            : PCAP_LINKTYPE_PPP;
    uint8_t header[PCAP_HEADER_SIZE];
    uint8_t *p = Put32(header, kMagic);
    p = Put16(p, 2);
    p = Put16(p, 4);
    p = Put32(p, 0);                // time zone correction
    p = Put32(p, 0);                // time stamp accuracy
    p = Put32(p, PCAP_SNAPLEN);
    Put32(p, linkType);
    fwrite(header, 1, sizeof header, file);
    fflush(file);
    return writer;
}

void PCAP_WriteRecordAt(PcapWriter *writer, const void *bytes, uint32_t length, uint32_t received,
                        uint32_t tickMs)
{
    if (!writer || !writer->file)
        return;
    if (!bytes)
        length = 0;
    uint32_t extra = writer->mode == PCAP_MODE_DIRECTION ? 1 : 0;
    // A frame beyond the snapshot length is cut; the wire length stays whole.
    uint32_t frameBytes = length > PCAP_SNAPLEN - extra ? PCAP_SNAPLEN - extra : length;
    uint64_t wire = static_cast<uint64_t>(length) + extra;

    uint8_t head[PCAP_RECORD_HEADER_SIZE + 1];
    uint8_t *p = Put32(head, tickMs / 1000);
    p = Put32(p, (tickMs % 1000) * 1000);
    p = Put32(p, frameBytes + extra);
    p = Put32(p, wire > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(wire));
    if (extra)
        *p = received ? 0 : 1;      // the file says 1 for sent, 0 for received
    fwrite(head, 1, PCAP_RECORD_HEADER_SIZE + extra, writer->file);
    if (frameBytes)
        fwrite(bytes, 1, frameBytes, writer->file);
    fflush(writer->file);
}

void PCAP_WriteRecord(PcapWriter *writer, const void *bytes, uint32_t length, uint32_t received)
{
    if (writer)
        PCAP_WriteRecordAt(writer, bytes, length, received, RT_TickCount32());
}

void PCAP_Close(PcapWriter *writer)
{
    if (!writer)
        return;
    if (writer->file)
        fflush(writer->file);
    delete writer;
}
