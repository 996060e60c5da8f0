"""sip_server_local_host naming an interface: the launcher's namespace has an eth0."""
import unittest

from harness import ETH0_ADDR, Board, main, start_switch


class InterfaceHost(unittest.TestCase):
    def test_interface_names_resolve(self):
        eth0 = b"*Softswitch Local Host Address = [%s]\n" % ETH0_ADDR.encode()
        cases = [
            ("eth0", eth0),
            ("ETH0", eth0),
            ("lo", b"*Softswitch Local Host Address = [127.0.0.1]\n"),
            ("eth7", b"*Softswitch Local Host Address = [eth7]\n"),
            ("wlan0", b"*Softswitch Local Host Address = [wlan0]\n"),
            ("10.0.0.9", b"*Softswitch Local Host Address = [10.0.0.9]\n"),
        ]
        for value, want in cases:
            with self.subTest(value=value), Board() as b:
                b.write_settings("sip_server_local_host=%s\n" % value)
                sw = start_switch(b)
                self.assertIn(want, sw.out)
                rc, _ = sw.stop()
                self.assertEqual(rc, 0)

    def test_resolution_prints_the_interface(self):
        with Board() as b:
            b.write_settings("sip_server_local_host=eth0\n")
            sw = start_switch(b)
            self.assertIn(b"net card eth0 --> ip addr: %s\n" % ETH0_ADDR.encode(), sw.out)
            sw.stop()


if __name__ == "__main__":
    main()
