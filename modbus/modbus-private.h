// The inside of a Modbus context: the context itself, the backend table and
// the RTU backend's data. C++ only; the public interface stays in modbus.h.
#ifndef TARVO_MODBUS_PRIVATE_H
#define TARVO_MODBUS_PRIVATE_H

#include "modbus.h"
#include "serialline.h"

#include <cstddef>
#include <cstdint>
#include <memory>

#define MODBUS_BACKEND_TYPE_RTU 0
#define MODBUS_RTU_RECEIVE_BUFFER 512
#define MODBUS_MAX_PDU_LENGTH 253
#define MODBUS_EXCEPTION_MAX 11

enum {
    MODBUS_FC_READ_COILS = 0x01,
    MODBUS_FC_READ_DISCRETE_INPUTS = 0x02,
    MODBUS_FC_READ_HOLDING_REGISTERS = 0x03,
    MODBUS_FC_READ_INPUT_REGISTERS = 0x04,
    MODBUS_FC_WRITE_SINGLE_COIL = 0x05,
    MODBUS_FC_WRITE_SINGLE_REGISTER = 0x06,
    MODBUS_FC_READ_EXCEPTION_STATUS = 0x07,
    MODBUS_FC_WRITE_MULTIPLE_COILS = 0x0F,
    MODBUS_FC_WRITE_MULTIPLE_REGISTERS = 0x10,
    MODBUS_FC_REPORT_SLAVE_ID = 0x11,
    MODBUS_FC_MASK_WRITE_REGISTER = 0x16,
    MODBUS_FC_WRITE_AND_READ_REGISTERS = 0x17,
};

struct modbus_timeout
{
    int32_t sec;
    int32_t usec;
};

// The operations a transport provides. RTU is the only one built.
struct modbus_backend
{
    unsigned int backend_type;
    unsigned int header_length;
    unsigned int checksum_length;
    unsigned int max_adu_length;
    int (*set_slave)(modbus_t *ctx, int slave);
    int (*build_request_basis)(modbus_t *ctx, int function, int addr, int nb, uint8_t *req);
    int (*send_msg_pre)(uint8_t *req, int req_length); // appends the checksum
    // Sends once the line has been quiet as long as the protocol asks.
    int (*send)(modbus_t *ctx, const uint8_t *req, int req_length);
    // Returns once the last request has left the wire: 0, or -1.
    int (*wait_sent)(modbus_t *ctx);
    // Waits until bytes can be read: 1 when ready, -1 (ETIMEDOUT when silent).
    // The wait counts from when the request has left the wire.
    int (*select)(modbus_t *ctx, int wanted, const modbus_timeout *timeout);
    int (*recv)(modbus_t *ctx, uint8_t *rsp, int wanted);
    int (*check_integrity)(modbus_t *ctx, uint8_t *msg, int msg_length);
    int (*pre_check_confirmation)(modbus_t *ctx, const uint8_t *req, const uint8_t *rsp, int rsp_length);
    int (*connect)(modbus_t *ctx);
    void (*close)(modbus_t *ctx);
    int (*flush)(modbus_t *ctx);
    void (*free)(modbus_t *ctx);
};

struct modbus_rtu
{
    char *device;
    int baud;
    uint8_t data_bit;
    uint8_t stop_bit;
    char parity;
    std::unique_ptr<SerialLine> line;
    uint8_t rx_buffer[MODBUS_RTU_RECEIVE_BUFFER];
    int rx_count;
    int confirmation_to_ignore;
    // Timing of the line as opened, in microseconds of a monotonic clock.
    int line_baud;
    int char_bits; // start, data, parity and stop bits of one character
    long long silence_us; // between frames: 3.5 characters, 1.75 ms above 19200 baud
    long long quiet_since_us; // the last byte seen on the line, ours or a module's
    long long quiet_needed_us; // the quiet the next request waits for
    long long sent_until_us; // when the last request has left the wire
};

struct modbus
{
    int slave;
    int s;
    int debug;
    int capture; // frames captured without debug mode's prints
    int error_recovery;
    modbus_timeout response_timeout;
    modbus_timeout byte_timeout;
    modbus_timeout indication_timeout;
    const modbus_backend *backend;
    void *backend_data;
    uint8_t last_request[MODBUS_CAPTURE_SIZE];
    int last_request_length;
    uint8_t last_response[MODBUS_CAPTURE_SIZE];
    int last_response_length;
};

// Puts a caller's line under the context in place of the platform's own;
// modbus_connect() then opens and configures that line. Tests and the fuzz
// harness use it.
void modbus_rtu_set_line(modbus_t *ctx, std::unique_ptr<SerialLine> line);

// The frame CRC as the table method leaves it: the byte that goes on the wire
// first is the high byte of the result.
uint16_t modbus_rtu_crc16(const uint8_t *buffer, int length);

// Prints "ERROR <text of errno>" and the tag in debug mode; errno survives.
void modbus_error_print(modbus_t *ctx, const char *context);

// Big-endian quantities and bit packing of request and response bodies.
inline void modbus_put_u16(uint8_t *dest, int value)
{
    dest[0] = uint8_t(value >> 8);
    dest[1] = uint8_t(value & 0xFF);
}
inline int modbus_get_u16(const uint8_t *src) { return (src[0] << 8) | src[1]; }
// Packs nb bits given as 0/non-zero bytes, first bit in the lowest bit of the first byte.
int modbus_pack_bits(uint8_t *dest, const uint8_t *bits, int nb);
// Spreads packed bits back into nb bytes of 0/1.
void modbus_unpack_bits(uint8_t *dest, const uint8_t *packed, int nb);

#endif
