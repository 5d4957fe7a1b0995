# The module's main() against a fake tkvcert that answers each run from a
# plan: a canned report on the TKVCERT_REPORT descriptor (or none), output,
# and an exit status. The fake logs every run's arguments and environment.
import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

COLLECTION = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')
sys.path.insert(0, os.path.join(COLLECTION, 'plugins', 'modules'))

from ansible.module_utils import basic  # noqa: E402
from ansible.module_utils.common import warnings  # noqa: E402
from ansible.module_utils.common.text.converters import to_bytes  # noqa: E402
import ca_trust  # noqa: E402
import ca_trust_info  # noqa: E402
from ansible.errors import AnsibleError  # noqa: E402
import importlib.util  # noqa: E402
_spec = importlib.util.spec_from_file_location('ca_trust_action', os.path.join(COLLECTION, 'plugins', 'action',
                                                                              'ca_trust.py'))
ca_trust_action = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(ca_trust_action)

FAKE = r'''#!%s
import json, os, sys
here = os.path.dirname(os.path.abspath(__file__))
plan = json.load(open(os.path.join(here, 'plan.json')))
log = os.path.join(here, 'calls.jsonl')
done = sum(1 for line in open(log) if json.loads(line)['argv']) if os.path.exists(log) else 0
file_text = open(sys.argv[2]).read() if len(sys.argv) > 2 and os.path.isfile(sys.argv[2]) else None
with open(log, 'a') as f:
    f.write(json.dumps({'argv': sys.argv[1:], 'env': dict(os.environ), 'file_text': file_text}) + '\n')
answer = plan['clients'] if os.environ.get('TKVCERT_CLIENTS') == '1' else \
    plan['probe'] if len(sys.argv) == 1 else plan['runs'][min(done, len(plan['runs']) - 1)]
if answer.get('report') is not None:
    os.write(int(os.environ['TKVCERT_REPORT']), json.dumps(answer['report']).encode())
sys.stdout.write(answer.get('stdout', ''))
sys.stderr.write(answer.get('stderr', ''))
sys.exit(answer.get('rc', 0))
''' % sys.executable

SHA1_A, SHA1_B, SHA1_C, SHA1_D = 'A' * 40, 'B' * 40, 'C' * 40, 'D' * 40
CAPABILITIES = {'dry_run': True, 'list': True, 'uninstall_by': ['name', 'sha1', 'sha256']}
DISTRIBUTION = dict(CAPABILITIES, distribution=True)


def cert(sha1, name='Corp Root CA', source='local'):
    return {'name': name, 'sha1': sha1, 'sha256': sha1[0] * 64, 'source': source}


def ok(changed=(), removed=(), browsers=(), warnings=(), certificates=None, dry_run=False,
       capabilities=CAPABILITIES, messages=(), **extra):
    report = dict(report=1, capabilities=capabilities, status=0, outcome='ok', dry_run=dry_run,
                  changed=dict(anchors='anchors' in changed, bundle='bundle' in changed,
                               browsers=list(browsers), finished_cut_off_change='cut_off' in changed),
                  removed=list(removed), warnings=list(warnings), messages=list(messages),
                  certificate=cert(SHA1_A), **extra)
    if certificates is not None:
        report['certificates'] = certificates
    return {'report': report}


USAGE = {'rc': 1, 'stdout': 'Usage: ...\n'}
PROBE = dict(USAGE, report={'report': 1, 'capabilities': CAPABILITIES, 'outcome': 'usage', 'status': 1})
PROBE_DISTRIBUTION = dict(PROBE, report=dict(PROBE['report'], capabilities=DISTRIBUTION))
FAILED = {'rc': 1, 'stderr': 'tkvcert: cannot read /ca.pem\n',
          'report': {'report': 1, 'outcome': 'error', 'status': 1, 'messages': ['cannot read /ca.pem'],
                     'error': {'message': 'CryptQueryObject failed', 'last_error': '0x2'}}}
NO_DESCRIPTOR = {'rc': 1, 'stderr': 'tkvcert: TKVCERT_REPORT=3: descriptor 3 is not open for writing\n'}
INSTALL = ['/install', '/ca.pem']
BY_NAME = ['/uninstall', 'Corp Root CA']
TWINS = [cert(SHA1_A), cert(SHA1_B), cert(SHA1_C, source='distribution')]
# A local one, two of the distribution's (one already distrusted), another name.
NAMESAKES = [cert(SHA1_A), cert(SHA1_C, source='distribution'),
             dict(cert(SHA1_D, source='distribution'), distrusted=True), cert(SHA1_B, name='Other CA')]
LISTED = ok(certificates=NAMESAKES, dry_run=True, capabilities=DISTRIBUTION)
LIST_BY_NAME = (BY_NAME, {'TKVCERT_DRY_RUN': '1'})
UNMATCHED = ['nothing was removed: no certificate in /usr/local/share/ca-certificates is named "Corp Rot CA"',
             'the closest names there: "Corp Root CA"']
NOTABLE = ['Chromium still trusts Corp Root CA', 'Corp Root CA is not a CA', 'Corp Root CA expired on 2020-01-01',
           '/ca.pem holds a private key beside its certificate', 'the file held 2 certificates; the first is used',
           "OpenSSL's clients read no certificate of /etc/ssl/certs/ca-certificates.crt", 'refreshed the bundle']
OUTWEIGHS = {'browser': 'Chromium', 'file': '/etc/chromium/policies/managed/zz-admin.json'}
STILL_TRUSTS = ('Chromium still trusts "Corp Root CA" if it is among its own roots: %s sets CADistrustedCertificates '
                'after tkvcert.json and does not list it' % OUTWEIGHS['file'])
CLIENT = {'kind': 'certifi', 'path': '/opt/app/site-packages/certifi/cacert.pem', 'follows': False, 'holds': False,
          'fix': 'REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt'}
CLIENT_LINE = '1 certifi bundle kept roots of their own: %s; %s would point them at the store' % (
    CLIENT['path'], CLIENT['fix'])
FIXED = {'file': '/etc/environment', 'setting': 'the pointers for logins', 'state': 'written'}
DISTRUSTED = dict(cert(SHA1_C, source='distribution'), distrusted_in='/etc/ca-certificates.conf')


def by_sha256(sha1, **env):
    return (['/uninstall', sha1[0] * 64], dict(env, TKVCERT_UNINSTALL_BY='sha256'))


# name, arguments, check mode, the fake's answers (the probe's capabilities are
# the first report's), what the result holds, each run's argv (or argv and the
# environment it adds, in place of the row's), the environment every run but
# the probe adds to the minimal one.
CASES = [
    ('src reaching the target', {'src': 'ca.pem'}, False, [ok()], {'failed': True, 'msg': 'src reached the target'},
     [], {}),
    ('present new', {'path': '/ca.pem'}, False, [ok(changed=['anchors', 'bundle'])],
     {'changed': True, 'certificate': {'sha1': SHA1_A}}, [INSTALL], {}),
    ('present no-op', {'path': '/ca.pem'}, False, [ok()], {'changed': False}, [INSTALL], {}),
    ('only a browser file written', {'path': '/ca.pem', 'sysroot': '/img'}, False,
     [ok(browsers=['/img/etc/chromium/policies/managed/tkvcert.json'])], {'changed': True}, [INSTALL],
     {'TKVCERT_SYSROOT': '/img'}),
    ('a cut-off change finished', {'path': '/ca.pem', 'browsers': False}, False, [ok(changed=['cut_off'])],
     {'changed': True}, [INSTALL], {'TKVCERT_BROWSERS': 'keep'}),
    ('warnings passed on', {'path': '/ca.pem'}, False, [ok(warnings=['hook jks failed: status 1'])],
     {'changed': False, 'warnings': ['tkvcert: hook jks failed: status 1']}, [INSTALL], {}),
    ('what the tool passes on is escaped', {'path': '/ca.pem'}, False,
     [ok(warnings=['\x1b]0;owned\x07 hook\u202etxt.exe\nok: [host]'])],
     {'warnings': ['tkvcert: \\x1b]0;owned\\x07 hook\\u202etxt.exe\\x0aok: [host]']}, [INSTALL], {}),
    ('a failure escaped', {'path': '/ca.pem'}, False,
     [dict(FAILED, report=dict(FAILED['report'], messages=['\x9b2J cleared']))],
     {'failed': True, 'msg': 'failed (LastError 0x2); \\u009b2J cleared', 'messages': ['\\u009b2J cleared']},
     [INSTALL], {}),
    ('absent by name, two of that name', {'state': 'absent', 'name': 'Corp Root CA'}, False,
     [ok(changed=['anchors'], removed=[cert(SHA1_A)]), ok(changed=['anchors'], removed=[cert(SHA1_B)]),
      ok(messages=UNMATCHED)],
     {'changed': True, 'removed': [{'sha1': SHA1_A, 'source': 'local'}, {'sha1': SHA1_B}], 'warnings': 1},
     [[]] + [BY_NAME] * 3, {}),
    ('absent by name, a failure after one removal', {'state': 'absent', 'name': 'Corp Root CA'}, False,
     [ok(changed=['anchors'], removed=[cert(SHA1_A)]), FAILED],
     {'failed': True, 'changed': True, 'removed': [{'sha1': SHA1_A}]}, [[]] + [BY_NAME] * 2, {}),
    ('absent by name, none left', {'state': 'absent', 'name': 'Corp Root CA'}, False, [ok()],
     {'changed': False, 'removed': []}, [[], BY_NAME], {}),
    ('absent by a misspelt name, the closest names warned', {'state': 'absent', 'name': 'Corp Rot CA'}, False,
     [dict(LISTED, report=dict(LISTED['report'], messages=UNMATCHED, already='absent'))],
     {'changed': False, 'removed': [], 'warnings': ['tkvcert: ' + m for m in UNMATCHED]},
     [[], (['/uninstall', 'Corp Rot CA'], {'TKVCERT_DRY_RUN': '1'})], {}),
    ('what a person must know warned, once', {'path': '/ca.pem'}, False,
     [ok(messages=NOTABLE, warnings=[NOTABLE[0]])],
     {'warnings': ['tkvcert: ' + m for m in NOTABLE[:-1]], 'messages': NOTABLE}, [INSTALL], {}),
    ('absent by path, by the SHA-256 the dry run read', {'state': 'absent', 'path': '/ca.pem'}, False,
     [ok(dry_run=True, messages=['Corp Root CA expired on 2020-01-01']),
      ok(changed=['anchors'], removed=[cert(SHA1_A)])],
     {'changed': True, 'removed': [{'sha1': SHA1_A}], 'warnings': None},
     [[], (INSTALL, {'TKVCERT_DRY_RUN': '1'}), by_sha256(SHA1_A)], {}),
    ('an early failure has messages too', {'state': 'absent', 'thumbprint': 'xyz'}, False, [ok()],
     {'failed': True, 'messages': []}, [[]], {}),
    ('absent by name that never ends', {'state': 'absent', 'name': 'Corp Root CA'}, False,
     [ok(changed=['anchors'], removed=[cert(SHA1_A)])], {'failed': True, 'msg': 'after 64 runs'},
     [[]] + [BY_NAME] * 64, {}),
    ('absent by name, the local one alone, the distribution\'s left trusted',
     {'state': 'absent', 'name': 'Corp Root CA'}, False,
     [LISTED, ok(changed=['anchors'], removed=[cert(SHA1_A)], capabilities=DISTRIBUTION)],
     {'changed': True, 'removed': [{'sha1': SHA1_A, 'source': 'local'}],
      'warnings': ["1 of the distribution's certificates named 'Corp Root CA' stay trusted; "
                   "distribution: true distrusts them"]},
     [[], LIST_BY_NAME, by_sha256(SHA1_A)], {}),
    ('absent by name with distribution, the distrusted one skipped',
     {'state': 'absent', 'name': 'Corp Root CA', 'distribution': True}, False,
     [LISTED, ok(changed=['anchors'], removed=[cert(SHA1_A)], capabilities=DISTRIBUTION),
      ok(changed=['bundle'], removed=[DISTRUSTED], capabilities=DISTRIBUTION)],
     {'changed': True, 'warnings': 1, 'removed': [{'sha1': SHA1_A, 'source': 'local'}, {
         'sha1': SHA1_C, 'source': 'distribution', 'distrusted_in': '/etc/ca-certificates.conf'}]},
     [[], LIST_BY_NAME, by_sha256(SHA1_A), by_sha256(SHA1_C)], {}),
    ('clients off, passed to the run', {'path': '/ca.pem', 'clients': 'off'}, False, [ok(changed=['anchors'])],
     {'changed': True, 'clients': []}, [INSTALL], {'TKVCERT_CLIENTS': 'off'}),
    ('clients fix: a pointer written changes the task, the kind warned', {'path': '/ca.pem', 'clients': 'fix'},
     False, [ok(warnings=[CLIENT_LINE], clients=[CLIENT], clients_fixes=[FIXED])],
     {'changed': True, 'clients': [CLIENT], 'clients_fixes': [FIXED], 'warnings': ['tkvcert: ' + CLIENT_LINE]},
     [INSTALL], {'TKVCERT_CLIENTS': 'fix'}),
    ('clients fix, a pointer already there changes nothing', {'path': '/ca.pem', 'clients': 'fix'}, False,
     [ok(clients=[CLIENT], clients_fixes=[dict(FIXED, state='there')])], {'changed': False},
     [INSTALL], {'TKVCERT_CLIENTS': 'fix'}),
    ('clients fix by name: the listing writes none, each store once', {'state': 'absent', 'name': 'Corp Root CA',
                                                                       'clients': 'fix'}, False,
     [ok(certificates=TWINS, dry_run=True, capabilities=DISTRIBUTION),
      ok(changed=['anchors'], removed=[cert(SHA1_A)], clients=[CLIENT], clients_fixes=[FIXED]),
      ok(changed=['anchors'], removed=[cert(SHA1_B)], clients=[dict(CLIENT, holds=True)])],
     {'changed': True, 'clients': [dict(CLIENT, holds=True)], 'clients_fixes': [FIXED]},
     [[], LIST_BY_NAME, by_sha256(SHA1_A, TKVCERT_CLIENTS='fix'), by_sha256(SHA1_B, TKVCERT_CLIENTS='fix')], {}),
    ('check mode, clients fix: what it would write changes the task', {'path': '/ca.pem', 'clients': 'fix'}, True,
     [PROBE, ok(dry_run=True, clients_fixes=[dict(FIXED, state='would_write')])], {'changed': True},
     [[], INSTALL], {'TKVCERT_DRY_RUN': '1', 'TKVCERT_CLIENTS': 'fix'}),
    ('absent by SHA-256', {'state': 'absent', 'thumbprint': 'ab' * 32}, False,
     [ok(changed=['anchors'], removed=[cert(SHA1_A)])], {'changed': True, 'removed': [{'sha1': SHA1_A}]},
     [[], ['/uninstall', 'AB' * 32]], {'TKVCERT_UNINSTALL_BY': 'sha256'}),
    ('absent, a browser still trusting it, said once', {'state': 'absent', 'thumbprint': 'ab' * 32}, False,
     [ok(changed=['anchors'], removed=[cert(SHA1_A)], warnings=[STILL_TRUSTS], browsers_still_trusting=[OUTWEIGHS])],
     {'changed': True, 'warnings': ['tkvcert: ' + STILL_TRUSTS], 'browsers_still_trusting': [OUTWEIGHS]},
     [[], ['/uninstall', 'AB' * 32]], {'TKVCERT_UNINSTALL_BY': 'sha256'}),
    ('absent, a browser still trusting it in the report alone', {'state': 'absent', 'thumbprint': 'ab' * 32}, False,
     [ok(changed=['anchors'], removed=[cert(SHA1_A)], browsers_still_trusting=[OUTWEIGHS])],
     {'warnings': ["tkvcert: Chromium still trusts the CA removed: %s outweighs the tool's policy file"
                   % OUTWEIGHS['file']], 'browsers_still_trusting': [OUTWEIGHS]},
     [[], ['/uninstall', 'AB' * 32]], {'TKVCERT_UNINSTALL_BY': 'sha256'}),
    ('absent by SHA-256, already absent: nothing said', {'state': 'absent', 'thumbprint': 'ab' * 32}, False,
     [ok(messages=UNMATCHED[:1], already='absent')], {'changed': False, 'warnings': None},
     [[], ['/uninstall', 'AB' * 32]], {'TKVCERT_UNINSTALL_BY': 'sha256'}),
    ('absent, the distribution\'s already distrusted: nothing said',
     {'state': 'absent', 'thumbprint': 'c' * 64, 'distribution': True}, False,
     [ok(messages=UNMATCHED[:1], already='distrusted', capabilities=DISTRIBUTION)],
     {'changed': False, 'warnings': None}, [[], ['/uninstall', 'C' * 64]], {'TKVCERT_UNINSTALL_BY': 'sha256'}),
    ('absent, nothing removed, a tool without already: warned', {'state': 'absent', 'thumbprint': 'ab' * 32}, False,
     [ok(messages=UNMATCHED[:1])], {'warnings': ['tkvcert: ' + UNMATCHED[0]]},
     [[], ['/uninstall', 'AB' * 32]], {'TKVCERT_UNINSTALL_BY': 'sha256'}),
    ('absent by SHA-1 with colons', {'state': 'absent', 'thumbprint': ':'.join(['4a'] * 20)}, False, [ok()],
     {'changed': False}, [[], ['/uninstall', '4A' * 20]], {'TKVCERT_UNINSTALL_BY': 'sha1'}),
    ('absent by thumbprint of the distribution\'s, not asked to', {'state': 'absent', 'thumbprint': 'c' * 64},
     False, [LISTED], {'failed': True, 'msg': 'set distribution: true'},
     [[], by_sha256(SHA1_C, TKVCERT_DRY_RUN='1')], {}),
    ('check mode, present', {'path': '/ca.pem'}, True, [PROBE, ok(changed=['anchors'], dry_run=True)],
     {'changed': True}, [[], INSTALL], {'TKVCERT_DRY_RUN': '1'}),
    ('check mode, absent by name counts every local one', {'state': 'absent', 'name': 'Corp Root CA'}, True,
     [PROBE, ok(changed=['anchors'], removed=[cert(SHA1_A)], certificates=TWINS, dry_run=True)],
     {'changed': True, 'removed': [{'sha1': SHA1_A}, {'sha1': SHA1_B}], 'warnings': 1},
     [[], BY_NAME], {'TKVCERT_DRY_RUN': '1'}),
    ('check mode, absent by name with distribution',
     {'state': 'absent', 'name': 'Corp Root CA', 'distribution': True}, True, [PROBE_DISTRIBUTION, LISTED],
     {'changed': True, 'removed': [{'sha1': SHA1_A}, {'sha1': SHA1_C, 'source': 'distribution'}]},
     [[], BY_NAME], {'TKVCERT_DRY_RUN': '1'}),
    ('check mode, an older binary without a report', {'path': '/ca.pem'}, True, [USAGE, ok()],
     {'failed': True, 'msg': 'no dry run'}, [[]], {}),
    ('check mode, a report without capabilities', {'path': '/ca.pem'}, True,
     [dict(USAGE, report={'report': 1, 'outcome': 'usage'}), ok()], {'failed': True, 'msg': 'no dry run'},
     [[]], {}),
    ('a failure', {'path': '/ca.pem'}, False, [FAILED],
     {'failed': True, 'last_error': '0x2', 'rc': 1, 'stderr': FAILED['stderr'],
      'msg': 'CryptQueryObject failed (LastError 0x2); cannot read /ca.pem',
      'stderr_lines': ['tkvcert: cannot read /ca.pem']}, [INSTALL], {}),
    ('no report', {'path': '/ca.pem'}, False, [NO_DESCRIPTOR],
     {'failed': True, 'msg': 'wrote no report', 'rc': 1}, [INSTALL], {}),
    ('a report that is not JSON', {'path': '/ca.pem'}, False, [{'report': None, 'stdout': 'Done\n'}],
     {'failed': True, 'msg': 'wrote no report'}, [INSTALL], {}),
]

INFO_CASES = [
    ('info lists the store', {'sysroot': '/img'}, False, [ok(certificates=NAMESAKES)],
     {'changed': False, 'certificates': NAMESAKES}, {'TKVCERT_SYSROOT': '/img'}),
    ('info in check mode', {}, True, [ok(certificates=[cert(SHA1_A)])],
     {'changed': False, 'certificates': [cert(SHA1_A)]}, {}),
    ('info lists the clients too', {'clients': True, 'sysroot': '/img'}, False,
     [ok(certificates=NAMESAKES), ok(clients=[CLIENT], capabilities=dict(CAPABILITIES, clients=True))],
     {'certificates': NAMESAKES, 'clients': [dict((k, CLIENT[k]) for k in ('kind', 'path', 'follows', 'fix'))]},
     {'TKVCERT_SYSROOT': '/img'}),
    ('info, clients from a tool that cannot list them', {'clients': True}, False, [ok(certificates=[]), ok()],
     {'failed': True, 'msg': 'cannot list clients'}, {}),
    ('info from an older tool', {}, False, [dict(USAGE, report={'report': 1, 'outcome': 'usage'})],
     {'failed': True, 'msg': 'cannot list the store'}, {}),
    ('info failed', {}, False, [dict(FAILED, report=dict(FAILED['report'], capabilities=CAPABILITIES))],
     {'failed': True, 'msg': 'CryptQueryObject failed (LastError 0x2); cannot read /ca.pem', 'last_error': '0x2'},
     {}),
]


class CaTrustTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        # Must not reach the tool, which runs as root.
        os.environ['TKVCERT_LEAK'] = '1'
        self.addCleanup(os.environ.pop, 'TKVCERT_LEAK')

    def run_module(self, args, check_mode, answers, diff=False, module=ca_trust):
        here = tempfile.mkdtemp(dir=self.dir)
        fake = os.path.join(here, 'tkvcert')
        with open(fake, 'w') as f:
            f.write(FAKE)
        os.chmod(fake, 0o755)
        if module is ca_trust_info:  # one run, without arguments, as the probe's
            answers = answers[:1] * 2 + answers[1:2]
        elif not check_mode:
            capabilities = (answers[0].get('report') or {}).get('capabilities') or CAPABILITIES
            answers = [dict(PROBE, report=dict(PROBE['report'], capabilities=capabilities))] + answers
        plan = {'probe': answers[0], 'runs': answers[1:2] if module is ca_trust_info else answers[1:],
                'clients': answers[2] if module is ca_trust_info and len(answers) > 2 else None}
        with open(os.path.join(here, 'plan.json'), 'w') as f:
            json.dump(plan, f)
        args = dict(args, executable=fake, _ansible_check_mode=check_mode, _ansible_diff=diff,
                    _ansible_no_log=True)
        del warnings._global_warnings[:]  # a module's warnings are process-wide
        basic._ANSIBLE_ARGS = to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': args}))
        out = io.StringIO()
        with contextlib.redirect_stdout(out), self.assertRaises(SystemExit):
            module.main()
        log = os.path.join(here, 'calls.jsonl')
        calls = []
        if os.path.exists(log):
            with open(log) as f:
                calls = [json.loads(line) for line in f]
        return json.loads(out.getvalue()), calls

    def test_cases(self):
        for name, args, check_mode, answers, expected, argvs, added_env in CASES:
            with self.subTest(name):
                result, calls = self.run_module(args, check_mode, answers)
                argvs = [a if isinstance(a, tuple) else (a, added_env) for a in argvs]
                self.assertEqual([c['argv'] for c in calls], [a for a, _ in argvs])
                for call, (argv, env_added) in zip(calls, argvs):
                    env = dict(call['env'])
                    env.pop('TKVCERT_REPORT')
                    if argv:  # the probe's is the minimal one, or more in check mode
                        self.assertEqual(env, dict(ca_trust.BASE_ENVIRONMENT, **env_added))
                for key, want in expected.items():
                    got = result.get(key)
                    if key == 'msg':
                        self.assertIn(want, got)
                    elif key == 'warnings' and isinstance(want, int):
                        self.assertEqual(len(got or []), want, got)
                    elif key in ('certificate', 'removed'):
                        pick = lambda c, w: dict((k, c.get(k)) for k in w)  # noqa: E731
                        self.assertEqual([pick(c, w) for c, w in zip(got, want)] + got[len(want):]
                                         if isinstance(want, list) else pick(got, want), want)
                    else:
                        self.assertEqual(got, want, result)

    def test_info_cases(self):
        for name, args, check_mode, answers, expected, added_env in INFO_CASES:
            with self.subTest(name):
                result, calls = self.run_module(args, check_mode, answers, module=ca_trust_info)
                runs = [{'TKVCERT_LIST': '1'}] + ([{'TKVCERT_CLIENTS': '1'}] if args.get('clients') else [])
                self.assertEqual([(c['argv'], c['env'].pop('TKVCERT_REPORT') and c['env']) for c in calls],
                                 [([], dict(ca_trust.BASE_ENVIRONMENT, **dict(run, **added_env))) for run in runs])
                for key, want in expected.items():
                    (self.assertIn if key == 'msg' else self.assertEqual)(want, result.get(key), result)

    def test_content_is_a_private_file_removed_after(self):
        result, calls = self.run_module({'content': 'PEM TEXT'}, False, [ok(changed=['anchors'])])
        self.assertTrue(result['changed'])
        self.assertEqual(calls[0]['file_text'], 'PEM TEXT')
        self.assertFalse(os.path.exists(calls[0]['argv'][1]))
        self.assertNotIn('PEM TEXT', json.dumps(result))  # no_log: not in the invocation shown

    def test_src_sends_certificate_blocks_alone(self):
        block = '-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----'
        key = '-----BEGIN %sPRIVATE KEY-----\nMIIE\n-----END %sPRIVATE KEY-----\n'
        for name, text, want in [
                ('text around dropped', 'Subject: CN=Corp\n%s\ntrailing words\n' % block, block + '\n'),
                ('two certificates kept', '%s\n%s\n' % (block, block), '%s\n%s\n' % (block, block)),
                ('a key after the certificate', '%s\n%s' % (block, key % ('', '')), None),
                ('a key first', '%s%s\n' % (key % ('EC ', 'EC '), block), None),
                ('an encrypted key', '%s\n%s' % (block, key % ('ENCRYPTED ', 'ENCRYPTED ')), None),
                ('no certificate', 'just text\n', None)]:
            with self.subTest(name):
                if want is None:
                    self.assertRaises(AnsibleError, ca_trust_action.certificate_blocks, text, 'ca.pem')
                else:
                    self.assertEqual(ca_trust_action.certificate_blocks(text, 'ca.pem'), want)

    def test_diff_in_check_mode(self):
        dry = ok(changed=['anchors'], certificates=[cert(SHA1_B, name='Old CA')], dry_run=True)
        result, _ = self.run_module({'path': '/ca.pem'}, True, [PROBE, dry], diff=True)
        self.assertEqual(result['diff']['before'], 'Old CA (%s)\n' % SHA1_B)
        self.assertEqual(result['diff']['after'], 'Corp Root CA (%s)\nOld CA (%s)\n' % (SHA1_A, SHA1_B))

    def test_diff_with_distribution(self):
        args = {'state': 'absent', 'name': 'Corp Root CA', 'distribution': True}
        diff = self.run_module(args, True, [PROBE_DISTRIBUTION, LISTED], diff=True)[0]['diff']
        self.assertEqual((diff['after_header'], diff['after']),
                         ('certificates', 'Other CA (%s) [local]\n' % SHA1_B))

    def test_ansible_doc_renders(self):
        modules = os.path.join(COLLECTION, 'plugins', 'modules')
        for module, options in (('ca_trust', ('state', 'path', 'content', 'thumbprint', 'name', 'distribution',
                                              'sysroot', 'browsers', 'executable')),
                                ('ca_trust_info', ('sysroot', 'executable'))):
            shown = subprocess.run(['ansible-doc', '-M', modules, module], capture_output=True, text=True)
            self.assertEqual(shown.returncode, 0, shown.stderr)
            for option in options:
                self.assertIn('- %s\n' % option, shown.stdout)


if __name__ == '__main__':
    unittest.main()
