"""Sixty clients that send their request headers a byte at a time do not keep a plain request of
another client from being answered, and a header that takes longer than the header bound gets
the false reply while the others are served."""
import time
import unittest

from gate import gate_board
from harness import free_port, main, start_http, wait_for
from slow_clients import SlowClients, plain_request
from test_http_requests import FALSE, TRUE

SLOW = 60


class SlowClientsTest(unittest.TestCase):
    def setUp(self):
        self.board = gate_board()
        self.port = free_port()
        self.slow = None

    def tearDown(self):
        if self.slow:
            self.slow.close()
        self.board.close()

    def test_a_plain_request_is_answered_while_slow_clients_are_connected(self):
        # The header bound is long here, so that the slow clients are all still connected when
        # the plain request is answered.
        start_http(self.board, self.port, (120000, 5000, 100000))
        self.slow = SlowClients(self.port, SLOW)
        for _ in range(3):
            self.slow.trickle()
            time.sleep(self.slow.gap)
        got, _ = plain_request(self.port, self.slow)
        self.assertRegex(got, TRUE)
        self.assertEqual(self.slow.still_waiting(), SLOW)

    def test_more_slow_clients_than_places_make_room_for_a_plain_request(self):
        # The server has places for 128 clients at once: the ones that have waited longest for
        # their headers are refused to make room.
        start_http(self.board, self.port, (120000, 5000, 100000))
        self.slow = SlowClients(self.port, 140)
        self.slow.trickle()
        got, _ = plain_request(self.port, self.slow)
        self.assertRegex(got, TRUE)
        self.assertGreaterEqual(self.slow.still_waiting(), 100)

    def test_a_header_past_its_bound_gets_the_false_reply(self):
        start_http(self.board, self.port, (1500, 5000, 100000))
        self.slow = SlowClients(self.port, SLOW, gap=0.2)
        replies = [b""] * SLOW

        def all_refused():
            self.slow.trickle()
            for i, s in enumerate(self.slow.socks):
                try:
                    replies[i] += s.recv(65536)
                except BlockingIOError:
                    pass
            return all(FALSE.fullmatch(r) for r in replies)
        self.assertTrue(wait_for(all_refused, timeout=30, step=0.05), replies[:2])
        got, _ = plain_request(self.port, self.slow)
        self.assertRegex(got, TRUE)


if __name__ == "__main__":
    main()
