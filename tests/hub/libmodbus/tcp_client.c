/* libmodbus's TCP client through the hub, the link and the daemon's bridge
 * to an RTU server (rtu_server.c): the checks a Modbus TCP client of a
 * serial line's gateway makes of broadcasts and of replies from the wrong
 * address, as the hub decided them (docs/decisions.md).
 *
 *     tcp_client HOST PORT UNIT
 *
 * One line per check, "ok NAME" or "FAIL NAME: what came"; the exit
 * status is the number of failures. */
#include <errno.h>
#include <modbus/modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define WRONG 99       /* rtu_server answers its read from the next unit */
#define ABSENT_UNIT 42 /* no server on the line has this address */

static int failures;

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void check(const char *name, int ok, int rc) {
    if (ok) {
        printf("ok %s\n", name);
        return;
    }
    failures++;
    printf("FAIL %s: rc %d, %s\n", name, rc, rc < 0 ? modbus_strerror(errno) : "no error");
}

/* A request expected to fail with errno want, within most seconds. */
static void refused(modbus_t *ctx, const char *name, int unit, int address, int want, double most) {
    uint16_t r[1];
    modbus_set_slave(ctx, unit);
    double t = now_s();
    int rc = modbus_read_registers(ctx, address, 1, r);
    check(name, rc == -1 && errno == want && now_s() - t < most, rc);
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: tcp_client HOST PORT UNIT\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    int unit = atoi(argv[3]);
    modbus_t *ctx = modbus_new_tcp(argv[1], atoi(argv[2]));
    if (!ctx || modbus_connect(ctx) != 0) {
        fprintf(stderr, "tcp_client: %s\n", modbus_strerror(errno));
        return 100;
    }
    modbus_set_response_timeout(ctx, 5, 0);
    uint16_t written[2] = {0x1111, 0x2222}, r[2] = {0, 0};

    /* A broadcast write: its normal response at once, carried out once. */
    modbus_set_slave(ctx, MODBUS_BROADCAST_ADDRESS);
    double t = now_s();
    int rc = modbus_write_registers(ctx, 10, 2, written);
    check("broadcast write answered at once", rc == 2 && now_s() - t < 0.5, rc);
    modbus_set_slave(ctx, unit);
    rc = modbus_read_registers(ctx, 10, 2, r);
    check("broadcast write carried out", rc == 2 && r[0] == 0x1111 && r[1] == 0x2222, rc);

    /* A broadcast that is no write: refused, not sent. */
    refused(ctx, "broadcast read refused with 0x01", MODBUS_BROADCAST_ADDRESS, 10, EMBXILFUN, 0.5);
    /* A reply from another address is not the answer: 0x0B at once. */
    refused(ctx, "reply from another unit answered 0x0B", unit, WRONG, EMBXGTAR, 1.0);
    /* No server with the address: 0x0B once the hub's time-out passes. */
    refused(ctx, "an absent unit answered 0x0B", ABSENT_UNIT, 10, EMBXGTAR, 4.0);

    /* The next request gets its own answer, nothing left over. */
    modbus_set_slave(ctx, unit);
    rc = modbus_read_registers(ctx, 11, 1, r);
    check("the next answer is its own", rc == 1 && r[0] == 0x2222, rc);
    modbus_close(ctx);
    modbus_free(ctx);
    return failures;
}
