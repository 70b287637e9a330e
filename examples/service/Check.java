// Prints a check and its authentication as one job through tarvikd, then the
// job's state; exits 0 once it printed. TARVIK_URL and TARVIK_TOKEN name the
// service and its token. The key names the document: a retry after a lost
// answer gives the same job and prints nothing more. Run: java Check.java
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.time.Duration;
import java.util.regex.Pattern;

public class Check {
    // The JDK reads no JSON: the job is written out, and its state found by a pattern.
    static final String JOB = """
        {"key": "pdv-0001", "commands": [
          {"check": {"text1": "MIL DUZENTOS E TRINTA E QUATRO REAIS", "text2": "E CINQUENTA E SEIS CENTAVOS",
                     "date": "2026-12-08", "amount": 123456, "text5": "FULANO DE TAL", "text6": "SAO PAULO",
                     "bank": "341"}},
          {"authenticate": {"text": "AUT 0001 08/12/2026 R$ 1.234,56", "pitch": "1", "double": true,
                            "selector": "Y"}}]}
        """;

    public static void main(String[] args) throws Exception {
        var request = HttpRequest.newBuilder(URI.create(System.getenv("TARVIK_URL") + "/v1/jobs?wait=60"))
            .header("Authorization", "Bearer " + System.getenv("TARVIK_TOKEN"))
            .header("Content-Type", "application/json")
            .timeout(Duration.ofSeconds(90))
            .POST(HttpRequest.BodyPublishers.ofString(JOB))
            .build();
        var response = HttpClient.newHttpClient().send(request, HttpResponse.BodyHandlers.ofString());
        if (response.statusCode() >= 300) {
            System.err.println(response.statusCode() + " " + response.body());
            System.exit(1);
        }
        var found = Pattern.compile("\"state\": \"(\\w+)\"").matcher(response.body());
        var state = found.find() ? found.group(1) : "";
        System.out.println(state);
        System.exit(state.equals("printed") ? 0 : 1);
    }
}
