import http.client
import os
import shutil
import tempfile
import unittest

import servers


class PortTest(unittest.TestCase):
    def test_picked_ports_are_distinct_free_and_below_the_ephemeral_range(self):
        ports = servers.pick_free_ports(3)
        self.assertEqual(len(set(ports)), 3)
        for port in ports:
            self.assertTrue(servers.PORT_LOW <= port <= servers.PORT_HIGH)
            self.assertTrue(servers.port_is_free(port))


@unittest.skipUnless(shutil.which("nginx"), "nginx is not installed")
class NginxTest(unittest.TestCase):
    def test_every_port_serves_byte_ranges_of_the_content_root_until_stopped(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        root = os.path.join(folder, "root")
        os.makedirs(os.path.join(root, "packages/p"))
        data = os.urandom(100000)
        with open(os.path.join(root, "packages/p/f.bin"), "wb") as out:
            out.write(data)
        ports = servers.pick_free_ports(2)
        nginx = servers.Nginx(os.path.join(folder, "nginx"), root, ports)
        try:
            for port in ports:
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                connection.request("GET", "/packages/p/f.bin", headers={"Range": "bytes=1000-1999"})
                answer = connection.getresponse()
                self.assertEqual(answer.status, 206)
                self.assertEqual(answer.read(), data[1000:2000])
                connection.close()
        finally:
            nginx.stop()
        self.assertIsNotNone(nginx.process.poll())
        self.assertTrue(all(servers.port_is_free(p) for p in ports))


if __name__ == "__main__":
    unittest.main()
