"""sip_server_local_host naming an interface, in a private network namespace with an eth0."""
import sys
import unittest

from harness import Board, in_private_netns, make_eth0, read_until, stop

in_private_netns(sys.argv)
make_eth0("10.77.0.5/24")


class InterfaceHost(unittest.TestCase):
    def test_interface_names_resolve(self):
        cases = [
            ("eth0", b"*Softswitch Local Host Address = [10.77.0.5]\n"),
            ("ETH0", b"*Softswitch Local Host Address = [10.77.0.5]\n"),
            ("lo", b"*Softswitch Local Host Address = [127.0.0.1]\n"),
            ("eth7", b"*Softswitch Local Host Address = [eth7]\n"),
            ("wlan0", b"*Softswitch Local Host Address = [wlan0]\n"),
            ("10.0.0.9", b"*Softswitch Local Host Address = [10.0.0.9]\n"),
        ]
        for value, want in cases:
            with self.subTest(value=value), Board() as b:
                b.write_settings("sip_server_local_host=%s\n" % value)
                p = b.start("sipswitch")
                out = read_until(p.stdout, b"*" * 65 + b"\n\n")
                self.assertIn(want, out)
                rc, _, _ = stop(p)
                self.assertEqual(rc, 0)

    def test_resolution_prints_the_interface(self):
        with Board() as b:
            b.write_settings("sip_server_local_host=eth0\n")
            p = b.start("sipswitch")
            out = read_until(p.stdout, b"*" * 65 + b"\n\n")
            self.assertIn(b"net card eth0 --> ip addr: 10.77.0.5\n", out)
            stop(p)


if __name__ == "__main__":
    unittest.main()
