#!/usr/bin/env python3
"""A web client's public site for the browser tests: HTTPS on 127.0.0.1, serving the web client
(web/) at / and the test pages (tests/browser/public/) at /test/. A path under /coop/ is served
as the same path without it and with Cross-Origin-Opener-Policy: same-origin, as a page that
wants cross-origin isolation sends it.

    public_site.py PORT CERTIFICATE KEY
"""
import functools
import http.server
import os
import ssl
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
WEB = os.path.join(HERE, '..', '..', 'web')
PAGES = os.path.join(HERE, 'public')


class Handler(http.server.SimpleHTTPRequestHandler):
    def end_headers(self):
        if self.path.startswith('/coop/'):
            self.send_header('Cross-Origin-Opener-Policy', 'same-origin')
        self.send_header('Cache-Control', 'no-store')
        super().end_headers()

    def translate_path(self, path):
        path = path.split('?', 1)[0].split('#', 1)[0]
        if path.startswith('/coop/'):
            path = path[len('/coop'):]
        if path.startswith('/test/'):
            return os.path.join(PAGES, os.path.basename(path))
        return super().translate_path(path)

    def log_message(self, *args):
        pass


def main():
    port, certificate, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    server = http.server.ThreadingHTTPServer(('127.0.0.1', port),
                                             functools.partial(Handler, directory=WEB))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print(f'serving on {port}', flush=True)
    server.serve_forever()


if __name__ == '__main__':
    main()
