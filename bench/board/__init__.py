"""Measuring programs of the board's code: python3 -m bench.board.tls_hub (the hub of bench.tls_handshake)."""
