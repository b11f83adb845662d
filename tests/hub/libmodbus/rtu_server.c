/* A Modbus RTU server made with libmodbus, at the far end of a gateway's
 * line, with one fault built in: a read of the holding register WRONG is
 * answered from the next unit's address.
 *
 *     rtu_server DEVICE UNIT
 *
 * Holding register i starts as 1000 + i. Prints "ready" once the device is
 * open, and one line per request carried out ("unit U function F address
 * A") or answered wrongly ("answered from unit U"), so a test sees what
 * reached the line and how often. Runs until it is killed. */
#include <errno.h>
#include <modbus/modbus.h>
#include <stdio.h>
#include <stdlib.h>

#define WRONG 99 /* the register whose read the next unit answers */

static void answer_from_another(modbus_t *ctx, int unit) {
    uint8_t reply[] = {(uint8_t)(unit + 1), 0x03, 0x02, 0x12, 0x34}; /* libmodbus adds the CRC */
    modbus_send_raw_request(ctx, reply, sizeof reply);
    printf("answered from unit %d\n", unit + 1);
}

static void serve(modbus_t *ctx, modbus_mapping_t *map, int unit) {
    uint8_t q[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        int n = modbus_receive(ctx, q);
        if (n <= 0) continue; /* another unit's request, a broken frame */
        int address = q[2] << 8 | q[3];
        if (q[0] == unit && q[1] == 0x03 && address == WRONG) {
            answer_from_another(ctx, unit);
            continue;
        }
        printf("unit %d function 0x%02X address %d\n", q[0], q[1], address);
        modbus_reply(ctx, q, n, map);
    }
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: rtu_server DEVICE UNIT\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    int unit = atoi(argv[2]);
    modbus_t *ctx = modbus_new_rtu(argv[1], 115200, 'N', 8, 1);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 128, 0);
    if (!ctx || !map || modbus_set_slave(ctx, unit) != 0 || modbus_connect(ctx) != 0) {
        fprintf(stderr, "rtu_server: %s: %s\n", argv[1], modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < 128; i++) map->tab_registers[i] = (uint16_t)(1000 + i);
    printf("ready %s\n", argv[1]);
    serve(ctx, map, unit);
    return 0;
}
