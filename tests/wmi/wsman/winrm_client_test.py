#!/usr/bin/python3
"""The simulated WS-Management endpoint against a client nobody here wrote:
Debian's python3-winrm sends Enumerate/Pull and Subscribe/Pull envelopes
to `quellon-sim serve --wsman` over its own HTTP and authentication code
(Basic over HTTPS and over HTTP, NTLM with message encryption over HTTP)
and reads the answers with its own XML code, including the time-out fault
it knows by its WSManFault code.

Usage: winrm_client_test.py QUELLON_SIM
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import uuid
import xml.etree.ElementTree as ET

import winrm
from winrm.exceptions import InvalidCredentialsError, WinRMOperationTimeoutError

SIM = None

NS = {
    's': 'http://www.w3.org/2003/05/soap-envelope',
    'a': 'http://schemas.xmlsoap.org/ws/2004/08/addressing',
    'w': 'http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd',
    'n': 'http://schemas.xmlsoap.org/ws/2004/09/enumeration',
    'e': 'http://schemas.xmlsoap.org/ws/2004/08/eventing',
    'ev': 'http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/Win32_NTLogEvent',
    'ce': 'http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/__InstanceCreationEvent',
    'cim': 'http://schemas.dmtf.org/wbem/wscim/1/common',
}
RESOURCE = 'http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*'
WQL = 'http://schemas.microsoft.com/wbem/wsman/1/WQL'


def envelope(endpoint, action, body, header_extra='', timeout='PT5.000S'):
    return ('<s:Envelope xmlns:s="{s}" xmlns:a="{a}" xmlns:w="{w}" xmlns:n="{n}" xmlns:e="{e}">'
            '<s:Header><a:To>{to}</a:To><w:ResourceURI s:mustUnderstand="true">{res}'
            '</w:ResourceURI><a:ReplyTo><a:Address s:mustUnderstand="true">'
            'http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</a:Address>'
            '</a:ReplyTo><a:Action s:mustUnderstand="true">{action}</a:Action>'
            '<a:MessageID>uuid:{mid}</a:MessageID><w:OperationTimeout>{timeout}'
            '</w:OperationTimeout>{extra}</s:Header><s:Body>{body}</s:Body></s:Envelope>').format(
                to=endpoint, res=RESOURCE, action=action, mid=str(uuid.uuid4()).upper(),
                timeout=timeout, extra=header_extra, body=body, **NS)


def enumerate_body(wql):
    return ('<n:Enumerate><w:Filter Dialect="%s">%s</w:Filter></n:Enumerate>'
            % (WQL, wql.replace('&', '&amp;').replace('<', '&lt;')))


def pull_body(context, count):
    return ('<n:Pull><n:EnumerationContext>%s</n:EnumerationContext>'
            '<n:MaxElements>%d</n:MaxElements></n:Pull>' % (context, count))


class WinrmClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='quellon-winrm-')
        cls.store = os.path.join(cls.dir, 'hosts.db')
        cls.cert = os.path.join(cls.dir, 'cert.pem')
        cls.key = os.path.join(cls.dir, 'key.pem')
        cls.sim('host', 'add', '127.0.0.2', '--computer', 'WIN-A', '--user', 'bob',
                '--password', 'p&ss<word>')
        for code in (100, 101, 102):
            cls.sim('emit', '127.0.0.2', '--log', 'System', '--type', '2', '--source',
                    'Src <%d>' % code, '--code', str(code), '--insert', 'one & only',
                    '--time', '2023-11-14T22:13:%02d' % (code - 80))
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt',
                        'ec_paramgen_curve:prime256v1', '-nodes', '-days', '2', '-subj',
                        '/CN=quellon-winrm-test', '-addext', 'subjectAltName=IP:127.0.0.2',
                        '-keyout', cls.key, '-out', cls.cert], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.servers = {}
        for scheme, extra in (('https', ['--tls', cls.cert, cls.key]), ('http', []),
                              ('ntlm', ['--auth', 'ntlm'])):
            proc = subprocess.Popen([SIM, '--store', cls.store, 'serve', '--wsman', '--port', '0']
                                    + extra, stdout=subprocess.PIPE, text=True)
            line = proc.stdout.readline()
            port = re.search(r'on port (\d+)', line)
            if not port:
                proc.kill()
                raise RuntimeError('the endpoint did not start: %r' % line)
            cls.servers[scheme] = (proc, int(port.group(1)))

    @classmethod
    def tearDownClass(cls):
        for proc, _ in cls.servers.values():
            proc.terminate()
            proc.wait(timeout=70)
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def sim(cls, *args):
        subprocess.run([SIM, '--store', cls.store] + list(args), check=True,
                       stdout=subprocess.DEVNULL)

    def protocol(self, scheme, password='p&ss<word>'):
        endpoint = '%s://127.0.0.2:%d/wsman' % ('https' if scheme == 'https' else 'http',
                                                self.servers[scheme][1])
        transport = {'https': 'ssl', 'http': 'plaintext', 'ntlm': 'ntlm'}[scheme]
        # With NTLM over HTTP python3-winrm encrypts every message.
        return endpoint, winrm.Protocol(endpoint, transport=transport, username='bob',
                                        password=password, ca_trust_path=self.cert,
                                        message_encryption='auto')

    def exchange(self, protocol, endpoint, action, body, extra=''):
        answer = protocol.send_message(envelope(endpoint, action, body, extra))
        return ET.fromstring(answer)

    def enumerate_all(self, scheme):
        endpoint, p = self.protocol(scheme)
        root = self.exchange(p, endpoint, 'http://schemas.xmlsoap.org/ws/2004/09/enumeration/'
                             'Enumerate', enumerate_body(
                                 "SELECT * FROM Win32_NTLogEvent WHERE EventCode > 100"))
        context = root.find('s:Body/n:EnumerateResponse/n:EnumerationContext', NS).text
        events = []
        while True:
            root = self.exchange(p, endpoint, 'http://schemas.xmlsoap.org/ws/2004/09/'
                                 'enumeration/Pull', pull_body(context, 1))
            response = root.find('s:Body/n:PullResponse', NS)
            for item in response.find('n:Items', NS):
                events.append(item)
            if response.find('n:EndOfSequence', NS) is not None:
                break
            context = response.find('n:EnumerationContext', NS).text
        return events

    def test_enumerate_and_pull_over_every_road(self):
        for scheme in ('https', 'http', 'ntlm'):
            events = self.enumerate_all(scheme)
            self.assertEqual([e.find('ev:EventCode', NS).text for e in events], ['101', '102'])
            first = events[0]
            self.assertEqual(first.find('ev:SourceName', NS).text, 'Src <101>')
            self.assertEqual([s.text for s in first.findall('ev:InsertionStrings', NS)],
                             ['one & only'])
            self.assertEqual(first.find('ev:TimeGenerated/cim:Datetime', NS).text,
                             '2023-11-14T22:13:21.000000Z')
            self.assertEqual(first.find('ev:User', NS).get(
                '{http://www.w3.org/2001/XMLSchema-instance}nil'), 'true')

    def test_subscribe_pull_and_the_time_out_fault(self):
        for scheme, code in (('https', '4242'), ('ntlm', '4343')):
            self.subscribe_and_pull(scheme, code)

    def subscribe_and_pull(self, scheme, code):
        endpoint, p = self.protocol(scheme)
        root = self.exchange(p, endpoint, 'http://schemas.xmlsoap.org/ws/2004/08/eventing/'
                             'Subscribe',
                             '<e:Subscribe><e:Delivery Mode="http://schemas.dmtf.org/wbem/wsman/'
                             '1/wsman/Pull"/><w:Filter Dialect="%s">SELECT * FROM '
                             '__InstanceCreationEvent WITHIN 0 WHERE TargetInstance ISA '
                             "'Win32_NTLogEvent'</w:Filter></e:Subscribe>" % WQL)
        answer = root.find('s:Body/e:SubscribeResponse', NS)
        context = answer.find('n:EnumerationContext', NS).text
        identifier = answer.find('e:SubscriptionManager/a:ReferenceParameters/e:Identifier',
                                 NS).text
        # Nothing new: python3-winrm recognises the host's time-out fault.
        with self.assertRaises(WinRMOperationTimeoutError):
            p.send_message(envelope(endpoint, 'http://schemas.xmlsoap.org/ws/2004/09/'
                                    'enumeration/Pull', pull_body(context, 5),
                                    timeout='PT0.200S'))
        self.sim('emit', '127.0.0.2', '--log', 'Application', '--type', '1', '--source', 'Live',
                 '--code', code)
        root = self.exchange(p, endpoint, 'http://schemas.xmlsoap.org/ws/2004/09/enumeration/'
                             'Pull', pull_body(context, 5))
        items = list(root.find('s:Body/n:PullResponse/n:Items', NS))
        self.assertEqual(len(items), 1)
        target = items[0].find('ce:TargetInstance', NS)
        self.assertEqual(target.find('{%s}EventCode' % NS['ev'], NS).text, code)
        self.exchange(p, endpoint, 'http://schemas.xmlsoap.org/ws/2004/08/eventing/Unsubscribe',
                      '<e:Unsubscribe/>', '<e:Identifier>%s</e:Identifier>' % identifier)

    def test_wrong_password_is_refused(self):
        for scheme in ('https', 'ntlm'):
            endpoint, p = self.protocol(scheme, password='wrong')
            # python3-winrm reads the 401 as rejected credentials.
            with self.assertRaises(InvalidCredentialsError):
                p.send_message(envelope(endpoint, 'http://schemas.xmlsoap.org/ws/2004/09/'
                                        'enumeration/Enumerate',
                                        enumerate_body('SELECT * FROM Win32_NTLogEvent')))


if __name__ == '__main__':
    # NTLM needs MD4 and RC4 from OpenSSL's legacy provider; OpenSSL reads
    # its configuration once, so the interpreter starts again with it.
    legacy = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'openssl-legacy.cnf')
    if os.environ.get('OPENSSL_CONF') != legacy:
        os.environ['OPENSSL_CONF'] = legacy
        os.execv(sys.executable, [sys.executable] + sys.argv)
    SIM = sys.argv.pop(1)
    unittest.main(verbosity=2, warnings='ignore')
