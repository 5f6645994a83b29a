// Capture of the PPP frames that cross the tunnel, in the classic pcap format
// (link type 204: PPP with a direction byte), readable by packet analysers.
//
// The writer borrows an open stream: the owner opens it, PCAP_Open writes the
// file header, PCAP_Close frees the writer, and the owner closes the stream.
// Every record is flushed at once, so the file is whole up to the last frame
// even when the program ends abruptly. Records come from one thread only.
#ifndef TLX_PCAP_WRITER_H
#define TLX_PCAP_WRITER_H

#include <stdint.h>
#include <stdio.h>

constexpr uint32_t PCAP_MODE_PLAIN = 0;         // records without direction byte
constexpr uint32_t PCAP_MODE_DIRECTION = 1;     // one direction byte before each frame
constexpr uint32_t PCAP_HEADER_SIZE = 24;
constexpr uint32_t PCAP_RECORD_HEADER_SIZE = 16;
constexpr uint32_t PCAP_SNAPLEN = 65535;
constexpr uint32_t PCAP_LINKTYPE_PPP = 9;
constexpr uint32_t PCAP_LINKTYPE_PPP_WITH_DIR = 204;

// Direction flag of PCAP_WriteRecord.
constexpr uint32_t PCAP_SENT = 0;
constexpr uint32_t PCAP_RECEIVED = 1;

struct PcapWriter {
    uint32_t mode;
    FILE *file;     // borrowed
};

// Null for a null stream or without memory; otherwise writes and flushes the
// file header. Mode 1 gives the direction format, any other value plain PPP.
PcapWriter *PCAP_Open(FILE *file, uint32_t mode);

// One record stamped with the system tick count: the frame from its protocol
// field on; received is 0 for a frame sent to the gateway, else received.
// Nothing for a null writer; write errors lose the record silently.
void PCAP_WriteRecord(PcapWriter *writer, const void *bytes, uint32_t length, uint32_t received);

// The same with the millisecond tick given.
void PCAP_WriteRecordAt(PcapWriter *writer, const void *bytes, uint32_t length, uint32_t received,
                        uint32_t tickMs);

// Flushes and frees the writer; the stream stays open. Nothing for null.
void PCAP_Close(PcapWriter *writer);

#endif
