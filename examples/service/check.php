<?php
// Prints a check and its authentication as one job through tarvikd, then the
// job's state; exits 0 once it printed. TARVIK_URL and TARVIK_TOKEN name the
// service and its token. The key names the document: a retry after a lost
// answer gives the same job and prints nothing more. Run: php check.php
$job = ['key' => 'pdv-0001', 'commands' => [
    ['check' => ['text1' => 'MIL DUZENTOS E TRINTA E QUATRO REAIS', 'text2' => 'E CINQUENTA E SEIS CENTAVOS',
                 'date' => '2026-12-08', 'amount' => 123456, 'text5' => 'FULANO DE TAL', 'text6' => 'SAO PAULO',
                 'bank' => '341']],
    ['authenticate' => ['text' => 'AUT 0001 08/12/2026 R$ 1.234,56', 'pitch' => '1', 'double' => true,
                        'selector' => 'Y']],
]];

$context = stream_context_create(['http' => [
    'method' => 'POST',
    'header' => ['Authorization: Bearer ' . getenv('TARVIK_TOKEN'), 'Content-Type: application/json'],
    'content' => json_encode($job),
    'timeout' => 90,
    'ignore_errors' => true, // an error's body says why
]]);
$body = file_get_contents(getenv('TARVIK_URL') . '/v1/jobs?wait=60', false, $context);
if ($body === false) {
    exit(1); // PHP has said why
}
$status = (int) explode(' ', $http_response_header[0])[1];
if ($status >= 300) {
    fwrite(STDERR, "$status $body\n");
    exit(1);
}
$state = json_decode($body, true)['state'];
echo $state, "\n";
exit($state === 'printed' ? 0 : 1);
