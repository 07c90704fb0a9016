/* Modbus RTU master: the public, C-callable interface.
 *
 * Every call returns -1 (or NULL) on failure and leaves the reason in errno:
 * either a system number (EINVAL, ENOMEM, ETIMEDOUT, ...) or one of the
 * MODBUS_E* numbers below; modbus_strerror() gives the text of either kind.
 */
#ifndef TARVO_MODBUS_H
#define TARVO_MODBUS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* RTU framing */
#define MODBUS_RTU_HEADER_LENGTH   1    /* the slave address byte */
#define MODBUS_RTU_CHECKSUM_LENGTH 2
#define MODBUS_RTU_MAX_ADU_LENGTH  256
#define MODBUS_BROADCAST_ADDRESS   0
#define MODBUS_MAX_SLAVE_ADDRESS   247
#define MODBUS_CAPTURE_SIZE        60   /* bytes kept of the last sent/received frame */

/* Per-request limits */
#define MODBUS_MAX_READ_BITS            2000
#define MODBUS_MAX_WRITE_BITS           1968
#define MODBUS_MAX_READ_REGISTERS       125
#define MODBUS_MAX_WRITE_REGISTERS      123
#define MODBUS_MAX_WR_WRITE_REGISTERS   121
#define MODBUS_MAX_WR_READ_REGISTERS    125

/* Error recovery bits */
#define MODBUS_ERROR_RECOVERY_NONE      0
#define MODBUS_ERROR_RECOVERY_LINK      (1 << 1)
#define MODBUS_ERROR_RECOVERY_PROTOCOL  (1 << 2)

/* Error numbers of this layer; base+1..base+11 mirror exception codes 1..11. */
#define MODBUS_ERR_BASE                  0x6B2424E
#define MODBUS_ERR_ILLEGAL_FUNCTION      (MODBUS_ERR_BASE + 1)
#define MODBUS_ERR_ILLEGAL_DATA_ADDRESS  (MODBUS_ERR_BASE + 2)
#define MODBUS_ERR_ILLEGAL_DATA_VALUE    (MODBUS_ERR_BASE + 3)
#define MODBUS_ERR_SLAVE_FAILURE         (MODBUS_ERR_BASE + 4)
#define MODBUS_ERR_ACKNOWLEDGE           (MODBUS_ERR_BASE + 5)
#define MODBUS_ERR_SLAVE_BUSY            (MODBUS_ERR_BASE + 6)
#define MODBUS_ERR_NEGATIVE_ACKNOWLEDGE  (MODBUS_ERR_BASE + 7)
#define MODBUS_ERR_MEMORY_PARITY         (MODBUS_ERR_BASE + 8)
#define MODBUS_ERR_NOT_DEFINED           (MODBUS_ERR_BASE + 9)
#define MODBUS_ERR_GATEWAY_PATH          (MODBUS_ERR_BASE + 10)
#define MODBUS_ERR_GATEWAY_TARGET        (MODBUS_ERR_BASE + 11)
#define MODBUS_ERR_BAD_CRC               (MODBUS_ERR_BASE + 12)
#define MODBUS_ERR_BAD_DATA              (MODBUS_ERR_BASE + 13)
#define MODBUS_ERR_BAD_EXCEPTION         (MODBUS_ERR_BASE + 14)
#define MODBUS_ERR_UNKNOWN_EXCEPTION     (MODBUS_ERR_BASE + 15)
#define MODBUS_ERR_TOO_MANY_DATA         (MODBUS_ERR_BASE + 16)
#define MODBUS_ERR_BAD_SLAVE             (MODBUS_ERR_BASE + 17)

typedef struct modbus modbus_t;

modbus_t *modbus_new_rtu(const char *device, int baud, char parity, int data_bit, int stop_bit);
void modbus_free(modbus_t *ctx);

int modbus_set_slave(modbus_t *ctx, int slave);
int modbus_get_slave(modbus_t *ctx);
int modbus_set_error_recovery(modbus_t *ctx, int bits);
int modbus_get_header_length(modbus_t *ctx);
int modbus_set_debug(modbus_t *ctx, int flag);
/* Captures frames as debug mode does, without printing anything. Either way
 * the captures are emptied: set before a request, they hold its frames only. */
int modbus_set_capture(modbus_t *ctx, int flag);

int modbus_get_response_timeout(modbus_t *ctx, uint32_t *sec, uint32_t *usec);
int modbus_set_response_timeout(modbus_t *ctx, uint32_t sec, uint32_t usec);
int modbus_get_byte_timeout(modbus_t *ctx, uint32_t *sec, uint32_t *usec);
int modbus_set_byte_timeout(modbus_t *ctx, uint32_t sec, uint32_t usec);
int modbus_get_indication_timeout(modbus_t *ctx, uint32_t *sec, uint32_t *usec);
int modbus_set_indication_timeout(modbus_t *ctx, uint32_t sec, uint32_t usec);

int modbus_connect(modbus_t *ctx);
void modbus_close(modbus_t *ctx);
int modbus_flush(modbus_t *ctx);

/* The capture of the last frames; dest must hold MODBUS_CAPTURE_SIZE bytes. */
int modbus_get_last_request(modbus_t *ctx, uint8_t *dest, int *length);
int modbus_get_last_response(modbus_t *ctx, uint8_t *dest, int *length);
int modbus_get_last_response_length(modbus_t *ctx);

int modbus_read_bits(modbus_t *ctx, int addr, int nb, uint8_t *dest);
int modbus_read_input_bits(modbus_t *ctx, int addr, int nb, uint8_t *dest);
int modbus_read_registers(modbus_t *ctx, int addr, int nb, uint16_t *dest);
int modbus_read_input_registers(modbus_t *ctx, int addr, int nb, uint16_t *dest);
int modbus_write_bit(modbus_t *ctx, int addr, int status);
int modbus_write_register(modbus_t *ctx, int addr, uint16_t value);
int modbus_write_bits(modbus_t *ctx, int addr, int nb, const uint8_t *src);
int modbus_write_registers(modbus_t *ctx, int addr, int nb, const uint16_t *src);
int modbus_mask_write_register(modbus_t *ctx, int addr, uint16_t and_mask, uint16_t or_mask);
int modbus_write_and_read_registers(modbus_t *ctx, int write_addr, int write_nb, const uint16_t *src,
                                    int read_addr, int read_nb, uint16_t *dest);
int modbus_report_slave_id(modbus_t *ctx, int max_dest, uint8_t *dest);

/* Raw access: req is address and function first, 2..254 bytes, without CRC. */
int modbus_send_raw_request(modbus_t *ctx, const uint8_t *raw_req, int raw_req_length);
int modbus_receive_confirmation(modbus_t *ctx, uint8_t *rsp);

const char *modbus_strerror(int errnum);

#ifdef __cplusplus
}
#endif

#endif
